// The language wrapper over a folder of components and language files a test lays out.
#pragma once

#include "LanguageFixtures.h"

#include <utility>
#include <vector>

namespace kestrune::test {
namespace {

const QString kMissing = QStringLiteral("Could not locate necessary dll 'VSKLanguage.dll'");

class LanguageManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        messages().clear();
        env_.language("en_GB.UTF-8");
    }
    void TearDown() override { messages().clear(); }

    // A folder with the row-listing component and the given "CODE file" rows; each file
    // is a copy of a fixture language file.
    void listed(const std::vector<std::pair<QString, QString>>& rows, const QString& current) {
        QFile::remove(folder_.file(QStringLiteral("VSKLanguage.dll")));
        folder_.copy(fixturePath(QStringLiteral("listed/VSKLanguage.dll")),
                     QStringLiteral("VSKLanguage.dll"));
        QByteArray list;
        int n = 0;
        for (const auto& [code, fixture] : rows) {
            const QString name = QStringLiteral("lang%1.dll").arg(n++);
            QFile::remove(folder_.file(name));
            if (!fixture.isEmpty())
                folder_.copy(fixturePath(QStringLiteral("files/%1.dll").arg(fixture)), name);
            list += code.toUtf8() + ' ' + name.toUtf8() + '\n';
        }
        folder_.write(QStringLiteral("languages.list"), list);
        folder_.write(QStringLiteral("current"), current.toUtf8());
    }

    static void expectOnlyBox(const QString& text) {
        const auto boxes = messages().boxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, text);
        EXPECT_EQ(boxes[0].caption, QStringLiteral("Kestrune"));
        EXPECT_EQ(boxes[0].style, unsigned(platform::MB_ICONERROR_STYLE));
    }

    LanguageVariables env_;
    LanguageFolder folder_;
};

} // namespace
} // namespace kestrune::test
