#include "platform/Module.h"
#include "platform/SystemLibraries.h"
#include "platform/windows/ModuleCalls.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstring>

namespace kestrune::platform {
namespace {

const char* const kEngine = "VSKRemovableShredder.dll";

void put(QByteArray& bytes, int at, std::uint32_t value, int size) {
    for (int i = 0; i < size; ++i)
        bytes[at + i] = char((value >> (8 * i)) & 0xFF);
}

// A bitmap file of one row of four pixels, with a full colour table where it has one.
QByteArray bitmapFile(int bits) {
    const int colours = bits <= 8 ? 1 << bits : 0;
    const int row = ((4 * bits + 31) / 32) * 4;
    const int offset = 14 + 40 + 4 * colours;
    QByteArray file(offset + row, '\x5A');
    file[0] = 'B';
    file[1] = 'M';
    put(file, 2, std::uint32_t(file.size()), 4);
    put(file, 6, 0, 4);
    put(file, 10, std::uint32_t(offset), 4);
    put(file, 14, 40, 4);
    put(file, 18, 4, 4); // width
    put(file, 22, 1, 4); // height
    put(file, 26, 1, 2);
    put(file, 28, std::uint32_t(bits), 2);
    put(file, 30, 0, 4); // no compression
    put(file, 34, std::uint32_t(row), 4);
    put(file, 38, 0, 16);
    return file;
}

// The fixed part of a version resource, with or without its fixed information.
QByteArray versionResource(std::array<WORD, 4> parts, bool withFixedPart) {
    QByteArray block(40, '\0');
    const QString key = QStringLiteral("VS_VERSION_INFO");
    std::memcpy(block.data() + 6, key.utf16(), size_t(key.size()) * 2);
    if (withFixedPart) {
        VS_FIXEDFILEINFO fixed{};
        fixed.dwSignature = 0xFEEF04BD;
        fixed.dwStrucVersion = 0x10000;
        fixed.dwFileVersionMS = DWORD(parts[0]) << 16 | parts[1];
        fixed.dwFileVersionLS = DWORD(parts[2]) << 16 | parts[3];
        block.append(reinterpret_cast<const char*>(&fixed), sizeof fixed);
    }
    put(block, 0, std::uint32_t(block.size()), 2);
    put(block, 2, withFixedPart ? sizeof(VS_FIXEDFILEINFO) : 0, 2);
    return block;
}

struct Resource {
    LPCWSTR type;
    WORD id;
    QByteArray bytes;
};

// A copy of the engine's file in its own folder, carrying these resources as a resource
// compiler would have put them there.
QString componentWith(const QTemporaryDir& folder, const std::vector<Resource>& resources) {
    // The engine's folder holds the library of disk numbers it shares with the program.
    const QString from = QCoreApplication::applicationDirPath() + u'/';
    const QString copy = folder.filePath(kEngine);
    if (!QFile::copy(from + kEngine, copy) ||
        !QFile::copy(from + "kestrune_disknumbers.dll",
                     folder.filePath("kestrune_disknumbers.dll")))
        return {};
    const std::wstring name = QDir::toNativeSeparators(copy).toStdWString();
    HANDLE update = ::BeginUpdateResourceW(name.c_str(), FALSE);
    if (!update)
        return {};
    for (const Resource& r : resources)
        ::UpdateResourceW(update, r.type, MAKEINTRESOURCEW(r.id),
                          MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL),
                          const_cast<char*>(r.bytes.constData()), DWORD(r.bytes.size()));
    return ::EndUpdateResourceW(update, FALSE) ? copy : QString();
}

TEST(ModuleOnWine, AComponentIsLoadedFromItsFolderWithItsEntriesAndPictures) {
    QTemporaryDir folder;
    const QByteArray picture("\xFF\xD8\xFF\xE0 a picture", 14);
    const QString path = componentWith(folder, {{MAKEINTRESOURCEW(2), 200, bitmapFile(24).mid(14)},
                                                {MAKEINTRESOURCEW(2), 201, bitmapFile(8).mid(14)},
                                                {MAKEINTRESOURCEW(2), 202, bitmapFile(1).mid(14)},
                                                {L"JPG", 203, picture}});
    ASSERT_FALSE(path.isEmpty());
    const std::unique_ptr<Module> module = Module::load(path);
    ASSERT_NE(module, nullptr);
    EXPECT_NE(module->symbol("VSKRMShred"), nullptr);
    EXPECT_EQ(module->symbol("NoSuchEntry"), nullptr);
    // A bitmap comes back as the file it was made from, whatever its colour table.
    EXPECT_EQ(module->resource(200, "BITMAP"), bitmapFile(24));
    EXPECT_EQ(module->resource(201, "BITMAP"), bitmapFile(8));
    EXPECT_EQ(module->resource(202, "BITMAP"), bitmapFile(1));
    EXPECT_EQ(module->resource(203, "JPG"), picture);
    EXPECT_TRUE(module->hasResource(203, "jpg"));
    EXPECT_FALSE(module->hasResource(203, "BITMAP"));
    EXPECT_TRUE(module->resource(204, "JPG").isEmpty());
}

TEST(ModuleOnWine, ABareNameOrAMissingFileIsNeverLoaded) {
    QTemporaryDir folder;
    ASSERT_FALSE(componentWith(folder, {}).isEmpty());
    const QString working = QDir::currentPath();
    // The component lies in the working folder, where a search would have found it.
    ASSERT_TRUE(QDir::setCurrent(folder.path()));
    EXPECT_EQ(Module::load(QString::fromLatin1(kEngine)), nullptr);
    EXPECT_NE(Module::load(QStringLiteral("./") + kEngine), nullptr);
    QDir::setCurrent(working);
    EXPECT_EQ(Module::load(folder.filePath("VSKMissing.dll")), nullptr);
}

TEST(ModuleOnWine, TheVersionComesFromTheVersionResource) {
    using Status = ProgramVersionRecord::Status;
    QTemporaryDir withVersion, empty;
    const QString versioned = componentWith(
        withVersion, {{MAKEINTRESOURCEW(16), 1, versionResource({2, 1, 0, 15}, true)}});
    const QString bare =
        componentWith(empty, {{MAKEINTRESOURCEW(16), 1, versionResource({0, 0, 0, 0}, false)}});
    ASSERT_FALSE(versioned.isEmpty());
    ASSERT_FALSE(bare.isEmpty());
    const ProgramVersionRecord record = ReadProgramVersionRecord(versioned);
    ASSERT_EQ(record.status, Status::Found);
    EXPECT_EQ(record.parts, (std::array<std::uint16_t, 4>{2, 1, 0, 15}));
    EXPECT_EQ(ReadProgramVersionRecord(bare).status, Status::Empty);
    EXPECT_EQ(ReadProgramVersionRecord(withVersion.filePath("none.exe")).status,
              Status::Unreadable);
}

TEST(ModuleOnWine, TheProgramFindsItsOwnFile) {
    const QString own = ExecutablePath();
    EXPECT_TRUE(own.endsWith(QStringLiteral("/tests_platform_windows.exe"), Qt::CaseInsensitive))
        << own.toStdString();
    const std::optional<QString> name = CommandLineProgramName();
    ASSERT_TRUE(name.has_value());
    EXPECT_TRUE(name->contains(QStringLiteral("tests_platform_windows"), Qt::CaseInsensitive));
    // A bare name is found as the system finds a program: its own folder first.
    EXPECT_EQ(
        QDir::cleanPath(ResolveProgramFile(QStringLiteral("tests_platform_windows"))).toLower(),
        own.toLower());
    EXPECT_EQ(ResolveProgramFile(QStringLiteral("C:\\x\\y.exe")), QStringLiteral("C:\\x\\y.exe"));
}

TEST(ModuleOnWine, TheSystemsLibrariesTellTheirVersions) {
    const QList<LibraryVersion> libraries = SystemLibraryVersions();
    ASSERT_GE(libraries.size(), 2);
    EXPECT_EQ(libraries[0].name, QStringLiteral("Windows"));
    EXPECT_TRUE(libraries[0].version.count(u'.') == 2) << libraries[0].version.toStdString();
    EXPECT_EQ(libraries[1].name, QStringLiteral("kernel32.dll"));
    EXPECT_TRUE(libraries[1].version.count(u'.') == 3) << libraries[1].version.toStdString();
}

// What the loader was asked.
std::wstring askedFile;
DWORD askedFlags = 0;

HMODULE WINAPI loadLibrary(LPCWSTR file, HANDLE, DWORD flags) {
    askedFile = file;
    askedFlags = flags;
    ::SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

TEST(ModuleCalls, TheLoaderSearchesOnlyTheComponentsFolderAndTheSystems) {
    ModuleCalls calls = systemModuleCalls();
    calls.loadLibrary = &loadLibrary;
    QString why;
    EXPECT_EQ(loadComponentLibrary(calls, "C:/Program Files/K/VSKUpdate.dll", &why), nullptr);
    EXPECT_EQ(askedFile, L"C:\\Program Files\\K\\VSKUpdate.dll");
    EXPECT_EQ(askedFlags, DWORD(LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32));
    EXPECT_TRUE(why.contains(QStringLiteral("error 126"))) << why.toStdString();
}

} // namespace
} // namespace kestrune::platform
