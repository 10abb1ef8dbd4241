// The whole road of a job on simulated disks: the window lists the image, Start shreds it
// through the shipped engine, formats it, and the report lands in the log folder.
#include "RealDisks.h"
#include "TestSupport.h"
#include "controls/CListCtrlEx.h"
#include "devices/CVSKListThread.h"
#include "devices/DeviceListModel.h"
#include "devices/DeviceTable.h"
#include "lang/LanguageManager.h"
#include "shred/ShredJobs.h"
#include "ui/CVSKKestruneDlg.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <gtest/gtest.h>

using namespace kestrune;
using platform::RegistryRoot;

namespace {

class EndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::messages().clear();
        qputenv("KESTRUNE_SIMULATED_DISKS", disks.path().toLocal8Bit());
        test::registerComponentDirectory(QStringLiteral("VSKLanguage.dll"), test::binDir());
        test::registerComponentDirectory(QStringLiteral("VSKRemovableShredder.dll"),
                                         test::binDir());
        test::writeRegistryString(RegistryRoot::LocalMachine, test::productKey("\\Settings"),
                                  QStringLiteral("LogPath"), logs.path());
    }
    void TearDown() override { qunsetenv("KESTRUNE_SIMULATED_DISKS"); }

    QString makeDisk(const char* name, qint64 size) {
        const QString path = disks.filePath(QString::fromLatin1(name));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.resize(size));
        // Old data the shred must remove.
        file.seek(size / 2);
        file.write("secret customer data");
        return path;
    }
    void setUser(const char* suffix, const char* name, std::uint32_t value) {
        test::writeRegistryDword(RegistryRoot::CurrentUser, test::productKey(suffix),
                                 QString::fromLatin1(name), value);
    }
    static bool waitRows(CVSKKestruneDlg& window, int rows) {
        return QTest::qWaitFor([&] { return window.deviceList()->rowCount() == rows; }, 10000);
    }
    static void clickStart(CVSKKestruneDlg& window, int row) {
        window.deviceList()->viewport()->repaint();
        QCoreApplication::processEvents();
        QPushButton* button = window.deviceList()->startButtonOfRow(row);
        ASSERT_NE(button, nullptr);
        QTest::mouseClick(button, Qt::LeftButton);
    }
    QStringList reports() const {
        QStringList result;
        for (const QString& name : QDir(logs.path()).entryList({QStringLiteral("*.xml")}))
            result << logs.filePath(name);
        return result;
    }
    static QString read(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    static int run(const QString& program, const QStringList& args, QByteArray* output = nullptr) {
        return test::runProgram(program, args, output, 60000);
    }

    test::ScopedRegistry registry;
    QTemporaryDir disks;
    QTemporaryDir logs;
};

} // namespace

TEST_F(EndToEndTest, StartShredsFormatsAndReports) {
    const QString image = makeDisk("stick.img", 48 << 20);
    setUser("\\Settings", "FormatDrive", 1);
    setUser("\\Shredding", "ShredAlgo", 101);
    CVSKKestruneDlg window;
    ASSERT_TRUE(window.OnInitDialog());
    window.show();
    ASSERT_TRUE(waitRows(window, 1));
    clickStart(window, 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.jobs().runningCount() == 1; }, 5000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.jobs().runningCount() == 0; }, 120000));
    QTest::qWait(200);
    const auto language = GetLanguageManager();
    EXPECT_EQ(window.listModel()->cellText(0, DeviceListModel::StatusColumn),
              language->GetString(QStringLiteral("status_shredded")));
    EXPECT_EQ(window.deviceList()->startButtonOfRow(0)->text(),
              language->GetString(QStringLiteral("status_start")));
    EXPECT_TRUE(window.deviceList()->startButtonOfRow(0)->isEnabled());
    // The list reads the disk afresh once the job has ended: it shows the new volume.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return window.listModel()
                ->cellText(0, DeviceListModel::NameColumn)
                .startsWith(QStringLiteral("SHREDDED"));
        },
        5000))
        << window.listModel()->cellText(0, DeviceListModel::NameColumn).toStdString();

    // The partition of the new table holds a clean FAT file system labelled SHREDDED.
    QFile disk(image);
    ASSERT_TRUE(disk.open(QIODevice::ReadOnly));
    const QByteArray mbr = disk.read(512);
    ASSERT_EQ(static_cast<unsigned char>(mbr[510]), 0x55);
    auto le32 = [&](int at) {
        quint32 v = 0;
        for (int i = 3; i >= 0; --i)
            v = (v << 8) | static_cast<unsigned char>(mbr[at + i]);
        return v;
    };
    const qint64 start = qint64(le32(446 + 8)) * 512, length = qint64(le32(446 + 12)) * 512;
    ASSERT_GT(length, 0);
    disk.seek(start);
    QTemporaryDir scratch;
    const QString partition = scratch.filePath(QStringLiteral("partition.img"));
    QFile out(partition);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(disk.read(length));
    out.close();
    EXPECT_EQ(run(QStringLiteral("fsck.fat"), {QStringLiteral("-n"), partition}), 0);
    QByteArray label;
    run(QStringLiteral("blkid"),
        {QStringLiteral("-o"), QStringLiteral("value"), QStringLiteral("-s"),
         QStringLiteral("LABEL"), partition},
        &label);
    EXPECT_EQ(label.trimmed(), QByteArray("SHREDDED"));
    disk.seek(0);
    EXPECT_FALSE(disk.readAll().contains("secret customer data"));

    const QStringList written = reports();
    ASSERT_EQ(written.size(), 1);
    EXPECT_EQ(run(QStringLiteral("xmllint"), {QStringLiteral("--noout"), written[0]}), 0);
    const QString body = read(written[0]);
    EXPECT_TRUE(body.contains(QStringLiteral("methodn=\"101\" iscleaned=\"1\" isformatted=\"1\"")));
    EXPECT_TRUE(body.contains(QStringLiteral("<result status=\"400\"")));
    // The one box is the question before the job, naming the disk; the test's answer is Yes.
    ASSERT_EQ(test::messages().texts().size(), 1u);
    EXPECT_TRUE(test::messages().texts()[0].contains(image));
}

TEST_F(EndToEndTest, TwoDisksShredAtOnceAndPressingAgainAborts) {
    makeDisk("first.img", 16 << 20);
    makeDisk("second.img", 256 << 20);
    setUser("\\Shredding", "ShredAlgo", 103);
    CVSKKestruneDlg window;
    ASSERT_TRUE(window.OnInitDialog());
    window.show();
    ASSERT_TRUE(waitRows(window, 2));
    clickStart(window, 0);
    clickStart(window, 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.jobs().runningCount() == 2; }, 5000));
    QTest::qWait(1500);
    const auto record = window.listModel()->recordOfRow(1);
    ASSERT_EQ(record->state(), JobState::Running);
    clickStart(window, 1); // the same button now aborts
    const auto language = GetLanguageManager();
    EXPECT_EQ(window.listModel()->cellText(1, DeviceListModel::StatusColumn),
              language->GetString(QStringLiteral("status_aborting")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.jobs().runningCount() == 0; }, 120000));
    QTest::qWait(200);
    EXPECT_EQ(record->state(), JobState::Aborted);
    EXPECT_EQ(window.listModel()->cellText(1, DeviceListModel::StatusColumn),
              language->GetString(QStringLiteral("status_aborted")));
    EXPECT_EQ(reports().size(), 2);
}

TEST_F(EndToEndTest, ClosingDuringAJobAbortsItAndKeepsItsReport) {
    makeDisk("long.img", 256 << 20);
    setUser("\\Shredding", "ShredAlgo", 103);
    auto window = std::make_unique<CVSKKestruneDlg>();
    ASSERT_TRUE(window->OnInitDialog());
    window->show();
    ASSERT_TRUE(waitRows(*window, 1));
    clickStart(*window, 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->jobs().runningCount() == 1; }, 5000));
    QTest::qWait(500);
    QSignalSpy closed(window.get(), &CVSKKestruneDlg::jobsFinishedForClose);
    window->reject();
    EXPECT_TRUE(window->isVisible()); // kept alive until the job has ended
    EXPECT_EQ(window->listModel()->cellText(0, DeviceListModel::StatusColumn),
              GetLanguageManager()->GetString(QStringLiteral("status_aborting")));
    ASSERT_TRUE(closed.wait(30000));
    EXPECT_EQ(window->jobs().runningCount(), 0);
    window.reset();
    const QStringList written = reports();
    ASSERT_EQ(written.size(), 1);
    EXPECT_TRUE(read(written[0]).contains(QStringLiteral("<result status=\"-3\"")));
}

TEST_F(EndToEndTest, PluggingAndPullingImagesAddsAndRemovesRows) {
    CVSKKestruneDlg window;
    ASSERT_TRUE(window.OnInitDialog());
    window.show();
    ASSERT_TRUE(window.scanLauncher()->waitUntilIdle(std::chrono::seconds(10)));
    EXPECT_EQ(window.deviceList()->rowCount(), 0);
    const QString first = makeDisk("a.img", 8 << 20);
    makeDisk("b.img", 16 << 20);
    ASSERT_TRUE(waitRows(window, 2));
    QFile::remove(first);
    ASSERT_TRUE(waitRows(window, 1));
    EXPECT_EQ(window.listModel()->recordOfRow(0)->serialText, QStringLiteral("b"));
}

// The program itself turns SIGINT and SIGTERM into an orderly close: Ctrl+C in a terminal
// or a shutdown ends it with its teardown, not by the default action of the signal.
TEST_F(EndToEndTest, TheProgramClosesInOrderOnTerminatingSignals) {
    makeDisk("idle.img", 4 << 20);
    for (const int signalNumber : {SIGINT, SIGTERM}) {
        QProcess program;
        program.setProcessChannelMode(QProcess::MergedChannels);
        program.start(test::binDir() + QStringLiteral("/kestrune"), {QStringLiteral("--trace")});
        ASSERT_TRUE(program.waitForStarted());
        QByteArray output;
        // Listed once the first scan has ended: the window's loop runs.
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                program.waitForReadyRead(100);
                output += program.readAll();
                return output.contains("CVSKListThread::ExitInstance()");
            },
            20000))
            << output.toStdString();
        ASSERT_EQ(::kill(static_cast<pid_t>(program.processId()), signalNumber), 0);
        ASSERT_TRUE(program.waitForFinished(10000));
        output += program.readAll();
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit) << signalNumber;
        EXPECT_EQ(program.exitCode(), 0);
        EXPECT_TRUE(output.contains(QByteArray("Signal ") + QByteArray::number(signalNumber)))
            << output.toStdString();
    }
}

// A job that fails at once has the last word on its row: the texts of the start were set
// before its worker ran.
TEST_F(EndToEndTest, AJobThatFailsAtOnceLeavesItsFailureOnTheRow) {
    const QString image = makeDisk("vanishing.img", 4 << 20);
    CVSKKestruneDlg window;
    ASSERT_TRUE(window.OnInitDialog());
    window.show();
    ASSERT_TRUE(waitRows(window, 1));
    window.deviceList()->viewport()->repaint();
    QCoreApplication::processEvents();
    QPushButton* button = window.deviceList()->startButtonOfRow(0);
    ASSERT_NE(button, nullptr);
    ASSERT_TRUE(QFile::remove(image)); // gone before the list has noticed
    QTest::mouseClick(button, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.jobs().runningCount() == 0; }, 10000));
    QTest::qWait(100);
    const auto language = GetLanguageManager();
    const auto record = window.listModel()->recordOfRow(0);
    if (record) { // the list may already have dropped the row
        EXPECT_EQ(window.listModel()->cellText(0, DeviceListModel::StatusColumn),
                  language->GetString(QStringLiteral("status_failed_media")));
        EXPECT_EQ(button->text(), language->GetString(QStringLiteral("status_start")));
    }
    ASSERT_EQ(reports().size(), 1);
    EXPECT_TRUE(read(reports()[0]).contains(QStringLiteral("<result status=\"-4\"")));
}

// While a removed disk's record waits for its job, the rows below it have moved up: a
// Start on one of them writes its texts on its own row, never on its neighbour's.
TEST_F(EndToEndTest, StartWhileAnotherRowIsBeingRemovedWritesOnTheRightRow) {
    const QString gone = makeDisk("a-gone.img", 4 << 20);
    makeDisk("b-start.img", 256 << 20);
    makeDisk("c-idle.img", 4 << 20);
    setUser("\\Shredding", "ShredAlgo", 103);
    CVSKKestruneDlg window;
    window.table()->setRemoveWait(50, 100); // up to 5 s
    ASSERT_TRUE(window.OnInitDialog());
    window.show();
    ASSERT_TRUE(waitRows(window, 3));
    // A job that does not stop at once holds the first record while it is removed.
    const auto held = window.listModel()->recordOfRow(0);
    held->setState(JobState::Running);
    ASSERT_TRUE(QFile::remove(gone));
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.listModel()->rowCount() == 2; }, 5000));
    ASSERT_TRUE(window.scanLauncher()->isScanning()); // still waiting for the held job
    const auto starting = window.listModel()->recordOfRow(0);
    ASSERT_EQ(starting->serialText, QStringLiteral("b-start"));
    window.OnWndMsg(0, 1124 + starting->deviceNumber);
    const auto language = GetLanguageManager();
    EXPECT_EQ(window.listModel()->cellText(0, DeviceListModel::StatusColumn),
              language->GetString(QStringLiteral("status_processing")));
    EXPECT_EQ(window.listModel()->cellText(1, DeviceListModel::StatusColumn), QString());
    held->setState(JobState::Aborted);
    QTest::qWait(700);
    window.OnWndMsg(0, 1124 + starting->deviceNumber); // abort it again
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.jobs().runningCount() == 0; }, 20000));
}

// The no-medium check belongs to Start: a running job whose card was pulled is still aborted.
TEST_F(EndToEndTest, AbortIsNeverBlockedByTheNoMediumCheck) {
    makeDisk("card.img", 256 << 20);
    setUser("\\Shredding", "ShredAlgo", 103);
    CVSKKestruneDlg window;
    ASSERT_TRUE(window.OnInitDialog());
    window.show();
    ASSERT_TRUE(waitRows(window, 1));
    clickStart(window, 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.jobs().runningCount() == 1; }, 5000));
    QTest::qWait(700);
    const auto record = window.listModel()->recordOfRow(0);
    record->hasMedium = false;
    window.OnWndMsg(0, 1124 + record->deviceNumber);
    EXPECT_TRUE(record->abort.raised());
    EXPECT_EQ(window.listModel()->cellText(0, DeviceListModel::StatusColumn),
              GetLanguageManager()->GetString(QStringLiteral("status_aborting")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.jobs().runningCount() == 0; }, 20000));
}
