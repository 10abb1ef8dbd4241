// Damaged component files are refused with their reason before the loader maps them, and
// each component then reports its missing-file text instead of crashing.
#include "DamagedObjects.h"
#include "TestSupport.h"
#include "app/SystemUtil.h"
#include "base/SharedObjectCheck.h"
#include "platform/Module.h"
#include "update/UpdateManager.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kestrune;

namespace {

QString shipped(const char* name) {
    return QDir(test::binDir()).filePath(QString::fromLatin1(name));
}

} // namespace

TEST(ComponentFiles, ShippedComponentsPassTheCheck) {
    for (const char* name :
         {"VSKLanguage.dll", "VSKLanguageKestrune_NTV.dll", "VSKLanguageKestrune_DE.dll",
          "VSKRemovableShredder.dll", "VSKUpdate.dll", "libkestrune_disknumbers.so"}) {
        EXPECT_EQ(platform::SharedObjectProblem(shipped(name).toStdString()), "") << name;
        EXPECT_NE(platform::Module::load(shipped(name)), nullptr) << name;
    }
}

TEST(ComponentFiles, EveryKindOfDamageIsRefusedWithItsReason) {
    const QByteArray good = test::readWholeFile(shipped("VSKUpdate.dll"));
    ASSERT_FALSE(good.isEmpty());
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("VSKUpdate.dll"));
    for (const test::DamagedObject& damaged : test::damagedCopiesOf(good)) {
        SCOPED_TRACE(damaged.kind);
        ASSERT_TRUE(test::writeWholeFile(path, damaged.bytes));
        const std::string problem = platform::SharedObjectProblem(path.toStdString());
        EXPECT_NE(problem.find(damaged.reason), std::string::npos) << problem;
        EXPECT_EQ(platform::Module::load(path), nullptr);
    }
    EXPECT_EQ(platform::SharedObjectProblem(dir.path().toStdString()), "not a regular file");
    EXPECT_NE(platform::SharedObjectProblem(dir.filePath("gone").toStdString()), "");
}

TEST(ComponentFiles, BareNamesAreNeverSearched) {
    // The loader would find this one in its cache; a component never comes from there.
    EXPECT_EQ(platform::Module::load(QStringLiteral("libc.so.6")), nullptr);
    EXPECT_EQ(platform::Module::load(QStringLiteral("VSKUpdate.dll")), nullptr);
}

TEST(ComponentFiles, DamagedUpdateComponentMeansNoUpdateFunction) {
    test::ScopedRegistry registry;
    QTemporaryDir dir;
    const QByteArray good = test::readWholeFile(shipped("VSKUpdate.dll"));
    test::registerComponentDirectory(QStringLiteral("VSKUpdate.dll"), dir.path());
    const QString path = dir.filePath(QStringLiteral("VSKUpdate.dll"));
    ASSERT_TRUE(test::writeWholeFile(path, good.left(good.size() / 3)));
    test::messages().clear();
    EXPECT_FALSE(UpdateManager(GetSystemUtil()).IsUpdateAvailable());
    ASSERT_TRUE(test::writeWholeFile(path, good));
    EXPECT_TRUE(UpdateManager(GetSystemUtil()).IsUpdateAvailable())
        << "the intact copy in the same place loads";
    ReleaseSystemUtil();
}
