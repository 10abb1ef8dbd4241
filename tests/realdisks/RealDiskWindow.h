// The main window on simulated disks attached to loop devices: the path a real stick takes
// (kernel events, unmount, O_EXCL|O_DIRECT, diskseq, BLKRRPART, libfdisk, mkfs.fat).
#pragma once

#include "RealDisks.h"
#include "TestSupport.h"
#include "WindowDriving.h"
#include "controls/CListCtrlEx.h"
#include "devices/DeviceListModel.h"
#include "devices/DeviceTable.h"
#include "lang/LanguageManager.h"
#include "shred/ShredJobs.h"
#include "ui/CVSKKestruneDlg.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>

namespace kestrune::test {

class RealDiskWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const QString reason = loopDevicesUnavailable(); !reason.isEmpty())
            GTEST_SKIP() << reason.toStdString();
        if (QStandardPaths::findExecutable(QStringLiteral("mkfs.fat"),
                                           {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")})
                .isEmpty())
            GTEST_SKIP() << "needs dosfstools";
        messages().clear();
        ASSERT_TRUE(disks.isValid());
        simulated = std::make_unique<ScopedEnvironment>("KESTRUNE_SIMULATED_DISKS",
                                                        QFile::encodeName(disks.path()));
        registerComponentDirectory(QStringLiteral("VSKLanguage.dll"), binDir());
        registerComponentDirectory(QStringLiteral("VSKRemovableShredder.dll"), binDir());
        writeRegistryString(platform::RegistryRoot::LocalMachine, productKey("\\Settings"),
                            QStringLiteral("LogPath"), logs.path());
        // A bulk-erasure station: Start erases at once, so the jobs' own boxes are the only
        // ones.
        writeRegistryDword(platform::RegistryRoot::LocalMachine, productKey("\\Settings"),
                           QStringLiteral("NoStartQuestion"), 1);
    }
    void TearDown() override {
        window.reset();
        loops.clear();
        simulated.reset();
    }

    // An image full of old data that the job must remove; attached to a loop device.
    LoopDisk& makeLoopDisk(const char* name, qint64 size) {
        const QString path = makeImage(name, size);
        loops.push_back(std::make_unique<LoopDisk>(path));
        EXPECT_TRUE(loops.back()->attached()) << name;
        return *loops.back();
    }
    QString makeImage(const char* name, qint64 size) {
        const QString path = disks.filePath(QString::fromLatin1(name));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.resize(size));
        for (qint64 at : {qint64(0), size / 3, size - 4096}) {
            file.seek(at);
            file.write(kSecret);
        }
        return path;
    }
    void setUser(const char* suffix, const char* name, std::uint32_t value) {
        writeRegistryDword(platform::RegistryRoot::CurrentUser, productKey(suffix),
                           QString::fromLatin1(name), value);
    }
    void setAlgorithm(int algorithm) { setUser("\\Shredding", "ShredAlgo", algorithm); }
    void setFormat(bool on) { setUser("\\Settings", "FormatDrive", on ? 1 : 0); }

    CVSKKestruneDlg& openWindow() {
        window = std::make_unique<CVSKKestruneDlg>();
        EXPECT_TRUE(window->OnInitDialog());
        window->show();
        return *window;
    }
    // The row that shows the disk of this device path, or -1 after the wait.
    int waitForRowOf(const QString& devicePath, int timeoutMs = 10000) {
        return waitForRowOfDevice(*window, devicePath, timeoutMs);
    }
    int rowOf(const QString& devicePath) const { return rowOfDevice(*window, devicePath); }
    void clickButton(int row) { ASSERT_TRUE(clickRowButton(*window, row)) << "row " << row; }
    // Clicks Start and waits until the job runs.
    void start(const QString& devicePath) {
        const int row = waitForRowOf(devicePath);
        ASSERT_GE(row, 0) << devicePath.toStdString();
        const int before = window->jobs().runningCount();
        clickButton(row);
        ASSERT_TRUE(QTest::qWaitFor([&] { return window->jobs().runningCount() > before; }, 5000));
    }
    bool waitUntilNoJobRuns(int timeoutMs = 180000) {
        const bool ended =
            QTest::qWaitFor([&] { return window->jobs().runningCount() == 0; }, timeoutMs);
        QTest::qWait(200); // the last status reports reach the rows
        return ended;
    }
    QString status(const QString& devicePath) const {
        const int row = rowOf(devicePath);
        return row < 0 ? QString()
                       : window->listModel()->cellText(row, DeviceListModel::StatusColumn);
    }
    static QString text(const char* key) {
        return GetLanguageManager()->GetString(QString::fromLatin1(key));
    }
    QStringList reports() const {
        QStringList result;
        for (const QString& name : QDir(logs.path()).entryList({QStringLiteral("*.xml")}))
            result << logs.filePath(name);
        return result;
    }
    static QString readText(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    static bool wellFormed(const QString& report) {
        return runProgram(QStringLiteral("xmllint"), {QStringLiteral("--noout"), report}) == 0;
    }
    static bool holdsSecret(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) && file.readAll().contains(kSecret);
    }

    static inline const QByteArray kSecret = QByteArrayLiteral("secret customer data 0815");

    ScopedRegistry registry;
    // tmpfs keeps loop devices fast; the folder is the simulated disks' folder.
    QTemporaryDir disks{QFileInfo::exists(QStringLiteral("/dev/shm"))
                            ? QStringLiteral("/dev/shm/kestrune-disks-XXXXXX")
                            : QString()};
    QTemporaryDir logs;
    std::unique_ptr<ScopedEnvironment> simulated;
    std::vector<std::unique_ptr<LoopDisk>> loops;
    std::unique_ptr<CVSKKestruneDlg> window;
};

} // namespace kestrune::test
