#include "LanguageFixtures.h"

#include "LanguageComponent.h"
#include "LanguageText.h"
#include "platform/Module.h"

#include <kestrune/resource_abi.h>

namespace kestrune::test {
namespace {

using namespace kestrune::language;

TEST(LanguageText, TableLinesEscapesAndComments) {
    const TextTable table = parseTextTable("\xEF\xBB\xBF"
                                           "first=one\n"
                                           "# comment=ignored\n"
                                           "; also ignored\n"
                                           "\n"
                                           "  spaced  =  two words  \r\n"
                                           "escapes=a\\nb\\tc\\\\n\\q\n"
                                           "no separator here\n"
                                           "empty=\n"
                                           "first=replaced\n"
                                           "eq=a=b");
    EXPECT_EQ(table.firstBadLine, 7u);
    EXPECT_EQ(table.entries.size(), 5u);
    EXPECT_EQ(table.entries.at(u"first"), u"replaced");
    EXPECT_EQ(table.entries.at(u"spaced"), u"two words");
    EXPECT_EQ(table.entries.at(u"escapes"), u"a\nb\tc\\n\\q");
    EXPECT_EQ(table.entries.at(u"empty"), u"");
    EXPECT_EQ(table.entries.at(u"eq"), u"a=b");
}

TEST(LanguageText, Utf8ConversionAndDamagedInput) {
    EXPECT_EQ(utf8ToUtf16("Gr\xC3\xB6\xC3\x9F"
                          "e \xF0\x9F\x94\x92"),
              u"Größe 🔒");
    EXPECT_EQ(utf16ToUtf8(u"Größe 🔒"), "Gr\xC3\xB6\xC3\x9F"
                                       "e \xF0\x9F\x94\x92");
    // Truncated sequence, overlong form and a lone continuation byte.
    EXPECT_EQ(utf8ToUtf16("a\xC3"), u"a\uFFFD");
    EXPECT_EQ(utf8ToUtf16("\xC0\xAFx"), u"\uFFFD\uFFFDx");
    EXPECT_EQ(utf8ToUtf16("\x80"), u"\uFFFD");
    EXPECT_EQ(utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}

TEST(LanguageText, BufferCopyNeverOverrunsAndKeepsPairsWhole) {
    char16_t buffer[6];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    EXPECT_FALSE(copyToBuffer(buffer, 5, u"English"));
    EXPECT_EQ(std::u16string(buffer), u"Engl");
    EXPECT_EQ(buffer[5], u'#');
    EXPECT_TRUE(copyToBuffer(buffer, 5, u"DE"));
    EXPECT_EQ(std::u16string(buffer), u"DE");
    // "ab" + a surrogate pair: with room for three units the pair is left out entirely.
    EXPECT_FALSE(copyToBuffer(buffer, 4, u"ab🔒"));
    EXPECT_EQ(std::u16string(buffer), u"ab");
    EXPECT_FALSE(copyToBuffer(buffer, 0, u"x"));
    EXPECT_FALSE(copyToBuffer(nullptr, 5, u"x"));
}

class LanguageComponentTest : public ::testing::Test {
protected:
    void SetUp() override { env_.language("C"); }

    std::string dir() const { return folder_.path().toStdString() + "/"; }
    void addShipped(const char* code) const {
        const QString name = QStringLiteral("VSKLanguageKestrune_%1.dll").arg(QLatin1String(code));
        folder_.copy(QDir(binDir()).filePath(name), name);
    }

    LanguageVariables env_;
    LanguageFolder folder_;
    LanguageComponent component_;
    const std::string pattern_ = "VSKLanguageKestrune_*.dll";
};

TEST_F(LanguageComponentTest, RowsAreDescribedFallbackFirst) {
    addShipped("DE");
    addShipped("NTV");
    folder_.copy(fixturePath(QStringLiteral("files/alpha.dll")), QStringLiteral("other.dll"));
    ASSERT_EQ(component_.amount(dir(), pattern_), 2);

    std::vector<std::vector<char16_t>> buffers;
    KestruneLanguageEntry rows[2] = {};
    for (KestruneLanguageEntry& row : rows) {
        for (int units : {5, 25, 500, 9})
            buffers.emplace_back(units, u'#');
        const std::size_t n = buffers.size();
        row = {buffers[n - 4].data(),
               buffers[n - 3].data(),
               buffers[n - 2].data(),
               buffers[n - 1].data(),
               nullptr,
               nullptr};
    }
    ASSERT_EQ(component_.fill(dir(), pattern_, rows), 2);
    EXPECT_EQ(std::u16string(rows[0].code), u"NTV");
    EXPECT_EQ(std::u16string(rows[0].auxiliary1), u"English");
    EXPECT_EQ(utf16ToUtf8(rows[0].path), dir() + "VSKLanguageKestrune_NTV.dll");
    EXPECT_EQ(std::u16string(rows[0].auxiliary2), u"1.0.0.1");
    EXPECT_EQ(std::u16string(rows[1].code), u"DE");
    EXPECT_EQ(std::u16string(rows[1].auxiliary1), u"Deutsch");
}

TEST_F(LanguageComponentTest, FillNeverExceedsTheAnnouncedCount) {
    addShipped("NTV");
    ASSERT_EQ(component_.amount(dir(), pattern_), 1);
    addShipped("DE"); // appears between the count and the fill

    char16_t code[2][5] = {}, aux1[2][25] = {}, path[2][500] = {}, aux2[2][9] = {};
    KestruneLanguageEntry rows[2] = {{code[0], aux1[0], path[0], aux2[0], nullptr, nullptr},
                                     {code[1], aux1[1], path[1], aux2[1], nullptr, nullptr}};
    EXPECT_EQ(component_.fill(dir(), pattern_, rows), 1);
    EXPECT_EQ(std::u16string(code[0]), u"NTV");
    EXPECT_EQ(code[1][0], 0) << "the row nobody allocated was written";

    // A fill for a folder that was never counted writes nothing.
    EXPECT_EQ(component_.fill("/nonexistent/", pattern_, rows), 0);
}

TEST_F(LanguageComponentTest, ChoiceIsValidatedAndStoredAtomically) {
    addShipped("NTV");
    addShipped("DE");
    EXPECT_FALSE(component_.setCurrent(u"DE")) << "nothing scanned yet";
    component_.amount(dir(), pattern_);
    EXPECT_EQ(component_.current(), u"NTV");
    EXPECT_FALSE(component_.setCurrent(u"FR"));
    EXPECT_FALSE(component_.setCurrent(u""));
    EXPECT_TRUE(component_.setCurrent(u"de"));
    EXPECT_EQ(component_.current(), u"DE");
    EXPECT_TRUE(QDir(folder_.registryPath())
                    .entryList({QStringLiteral(".language*")}, QDir::Files | QDir::Hidden)
                    .isEmpty())
        << "no temporary file may be left behind";

    // A folder that cannot be created: refused, and the old choice stays readable.
    LanguageVariables blocked;
    const QString file = QDir(folder_.registryPath()).filePath(QStringLiteral("language"));
    blocked.set("KESTRUNE_REGISTRY_DIR", (file + "/sub").toLocal8Bit());
    EXPECT_FALSE(component_.setCurrent(u"NTV"));
    blocked.set("KESTRUNE_REGISTRY_DIR", folder_.registryPath().toLocal8Bit());
    EXPECT_EQ(component_.current(), u"DE");
}

TEST_F(LanguageComponentTest, DamagedChoiceFallsBackToTheEnvironment) {
    const QString file = QDir(folder_.registryPath()).filePath(QStringLiteral("language"));
    for (const QByteArray& content :
         {QByteArray("TOOLONG\n"), QByteArray("D E\n"), QByteArray("\n"), QByteArray("../x")}) {
        QFile out(file);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(content);
        out.close();
        EXPECT_EQ(component_.current(), u"NTV") << content.toStdString();
    }
}

TEST(LanguageEnvironment, GermanOnlyWhenTheDecidingVariableSaysSo) {
    struct Case {
        const char* language;
        const char* all;
        const char* lang;
        const char16_t* expected;
    };
    const Case cases[] = {
        {nullptr, nullptr, "de_DE.UTF-8", u"DE"},
        {nullptr, nullptr, "de", u"DE"},
        {nullptr, nullptr, "den_XX", u"NTV"},
        {nullptr, "en_US.UTF-8", "de_DE", u"NTV"},
        {"de:en", "en_US", nullptr, u"DE"},
        {"fr:de", nullptr, "de_DE", u"NTV"},
        {"", nullptr, "de_CH", u"DE"},
        {nullptr, nullptr, nullptr, u"NTV"},
    };
    for (const Case& c : cases) {
        LanguageVariables env;
        auto value = [](const char* v) { return v ? std::optional(QByteArray(v)) : std::nullopt; };
        env.set("LANGUAGE", value(c.language));
        env.set("LC_ALL", value(c.all));
        env.set("LC_MESSAGES", std::nullopt);
        env.set("LANG", value(c.lang));
        EXPECT_EQ(environmentLanguage(), c.expected)
            << (c.language ? c.language : "-") << " " << (c.lang ? c.lang : "-");
    }
}

TEST(LanguageResources, TableIsOrderedByNameAndTypedByExtension) {
    auto module = platform::Module::load(fixturePath(QStringLiteral("files/alpha.dll")));
    ASSERT_TRUE(module);
    auto bitmapId = module->entry<KestruneGetBitmapId>("GetBitmapId");
    ASSERT_TRUE(bitmapId);
    EXPECT_EQ(bitmapId(1, u"banner"), 200);
    EXPECT_EQ(bitmapId(1, u"swatch"), 201);
    EXPECT_EQ(bitmapId(1, u"swatch.bmp"), -1);
    EXPECT_EQ(bitmapId(1, nullptr), -1);

    EXPECT_TRUE(module->hasResource(200, KESTRUNE_RESOURCE_TYPE_PICTURE));
    EXPECT_TRUE(module->hasResource(201, KESTRUNE_RESOURCE_TYPE_BITMAP));
    EXPECT_FALSE(module->hasResource(201, KESTRUNE_RESOURCE_TYPE_PICTURE));
    EXPECT_FALSE(module->hasResource(200, "jpg")) << "types compare exactly";
    QFile bmp(QDir(sourceDir()).filePath(QStringLiteral("tests/unit/lang/pictures/swatch.bmp")));
    ASSERT_TRUE(bmp.open(QIODevice::ReadOnly));
    EXPECT_EQ(module->resource(201, KESTRUNE_RESOURCE_TYPE_BITMAP), bmp.readAll());
    EXPECT_TRUE(module->resource(202, KESTRUNE_RESOURCE_TYPE_BITMAP).isEmpty());

    // A file without pictures has an empty table, not a missing one.
    auto plain = platform::Module::load(fixturePath(QStringLiteral("files/beta.dll")));
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->entry<KestruneGetBitmapId>("GetBitmapId")(1, u"banner"), -1);
    EXPECT_FALSE(plain->hasResource(200, KESTRUNE_RESOURCE_TYPE_PICTURE));
    EXPECT_FALSE(platform::Module::load(fixturePath(QStringLiteral("files/absent.dll"))));
}

} // namespace
} // namespace kestrune::test
