#include "DamagedObjects.h"
#include "TestSupport.h"
#include "app/SettingsStore.h"
#include "devices/DeviceRecord.h"
#include "lang/LanguageManager.h"
#include "shred/CVSKRMShredThread.h"
#include "shred/ShredReport.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <mutex>
#include <vector>

using namespace kestrune;
using platform::RegistryRoot;

namespace {

std::mutex statusMutex;
std::vector<int> statuses;

void recordStatus(void*, std::int32_t, std::int32_t status, std::int64_t, std::int64_t, double) {
    std::lock_guard guard(statusMutex);
    statuses.push_back(status);
}

class ShredWorkerTest : public ::testing::Test {
protected:
    void SetUp() override {
        statuses.clear();
        test::messages().clear();
        test::registerComponentDirectory(QStringLiteral("VSKLanguage.dll"), test::binDir());
        useEngine("fake");
        // The language component asks for the program version, which a test program
        // lacks; let that report happen before counting the job's own boxes.
        GetSettingsStore()->GetFormatDrive();
        test::messages().clear();
        test::writeRegistryString(RegistryRoot::LocalMachine, test::productKey("\\Settings"),
                                  QStringLiteral("LogPath"), logs.path());
        record->deviceNumber = 4;
        record->serialText = QStringLiteral("0123");
        record->vendorText = QStringLiteral("Acme");
        record->productText = QStringLiteral("Stick");
        record->sizeGigabytesText = QStringLiteral("0.06");
        record->busText = QStringLiteral("USB");
        record->setState(JobState::Running);
        qunsetenv("KESTRUNE_FAKE_ENGINE_RESULT");
    }
    void useEngine(const char* kind) {
        test::registerComponentDirectory(QStringLiteral("VSKRemovableShredder.dll"),
                                         QStringLiteral(KESTRUNE_TEST_ENGINES "/") + kind);
    }
    void setFormatDrive(bool on) {
        test::writeRegistryDword(RegistryRoot::CurrentUser, test::productKey("\\Settings"),
                                 QStringLiteral("FormatDrive"), on ? 1 : 0);
    }
    // Runs one job; the formatter reports 0, 50 and 100 percent and answers `formats`.
    std::unique_ptr<CVSKRMShredThread> run(bool formats = true) {
        auto job = std::make_unique<CVSKRMShredThread>(nullptr, record, 101, &recordStatus, 0);
        job->setFormatter(
            [this, formats](std::uint32_t number, ShredStatusCallback callback, void* context) {
                formattedDisk = number;
                for (int p : {0, 50, 100})
                    callback(context, static_cast<int>(number), 300 + p, 0, 0, 0.0);
                return formats;
            });
        job->Run();
        return job;
    }
    std::vector<int> tail(std::size_t n) const {
        return std::vector<int>(statuses.end() -
                                    static_cast<std::ptrdiff_t>(std::min(n, statuses.size())),
                                statuses.end());
    }

    test::ScopedRegistry registry;
    QTemporaryDir logs;
    std::shared_ptr<DeviceRecord> record = std::make_shared<DeviceRecord>();
    std::uint32_t formattedDisk = 99;
};

} // namespace

TEST_F(ShredWorkerTest, WithoutFormattingTheEngineResultIsTheFinalStatus) {
    setFormatDrive(false);
    auto job = run();
    EXPECT_EQ(statuses, (std::vector<int>{0, 50, 100, 200}));
    EXPECT_EQ(job->finalStatus(), 200);
    EXPECT_EQ(formattedDisk, 99u);
    EXPECT_TRUE(
        job->report()->body().contains(QStringLiteral("iscleaned=\"1\" isformatted=\"0\"")));
    EXPECT_TRUE(QFile::exists(job->report()->writtenPath()));
}

TEST_F(ShredWorkerTest, FormattingRunsBetween300And400) {
    setFormatDrive(true);
    auto job = run();
    EXPECT_EQ(tail(5), (std::vector<int>{300, 300, 350, 400, 400}));
    EXPECT_EQ(formattedDisk, 4u);
    EXPECT_TRUE(
        job->report()->body().contains(QStringLiteral("iscleaned=\"1\" isformatted=\"1\"")));
}

TEST_F(ShredWorkerTest, AFailedFormatIsReportedAsSuchNotAsSuccess) {
    setFormatDrive(true);
    auto job = run(false);
    EXPECT_EQ(job->finalStatus(), SHRED_STATUS_FAILED_FORMAT);
    EXPECT_EQ(statuses.back(), SHRED_STATUS_FAILED_FORMAT);
    EXPECT_TRUE(
        job->report()->body().contains(QStringLiteral("iscleaned=\"1\" isformatted=\"0\"")));
}

TEST_F(ShredWorkerTest, AFailedShredSkipsFormatting) {
    setFormatDrive(true);
    qputenv("KESTRUNE_FAKE_ENGINE_RESULT", "-5");
    auto job = run();
    EXPECT_EQ(statuses.back(), -5);
    EXPECT_EQ(formattedDisk, 99u);
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 300), 0);
    EXPECT_TRUE(
        job->report()->body().contains(QStringLiteral("iscleaned=\"0\" isformatted=\"0\"")));
}

TEST_F(ShredWorkerTest, AnAbortRequestedBeforehandStopsTheEngine) {
    setFormatDrive(false);
    record->requestAbort();
    auto job = run();
    EXPECT_EQ(statuses, (std::vector<int>{SHRED_STATUS_ABORTED}));
}

TEST_F(ShredWorkerTest, AMissingEngineIsReportedOnceAndFailsTheJob) {
    QTemporaryDir empty;
    test::registerComponentDirectory(QStringLiteral("VSKRemovableShredder.dll"), empty.path());
    auto job = run();
    EXPECT_EQ(statuses, (std::vector<int>{SHRED_STATUS_ENGINE_MISSING}));
    ASSERT_EQ(test::messages().texts().size(), 1u);
    EXPECT_EQ(test::messages().texts()[0],
              QStringLiteral("Could not locate necessary dll 'VSKRemovableShredder.dll'"));
    EXPECT_TRUE(job->report()->body().contains(QStringLiteral("iscleaned=\"0\"")));
    EXPECT_TRUE(QFile::exists(job->report()->writtenPath()));
}

TEST_F(ShredWorkerTest, ADamagedEngineIsReportedAsMissingAndFailsTheJob) {
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("VSKRemovableShredder.dll"));
    const QByteArray good =
        test::readWholeFile(QStringLiteral(KESTRUNE_TEST_ENGINES "/fake/VSKRemovableShredder.dll"));
    test::registerComponentDirectory(QStringLiteral("VSKRemovableShredder.dll"), folder.path());
    for (const test::DamagedObject& damaged : test::damagedCopiesOf(good)) {
        SCOPED_TRACE(damaged.kind);
        ASSERT_TRUE(test::writeWholeFile(path, damaged.bytes));
        statuses.clear();
        test::messages().clear();
        run();
        EXPECT_EQ(statuses, (std::vector<int>{SHRED_STATUS_ENGINE_MISSING}));
        ASSERT_EQ(test::messages().texts().size(), 1u);
        EXPECT_EQ(test::messages().texts()[0],
                  QStringLiteral("Could not locate necessary dll 'VSKRemovableShredder.dll'"));
    }
}

TEST_F(ShredWorkerTest, AnEngineWithoutItsEntryIsReported) {
    useEngine("noentry");
    run();
    EXPECT_EQ(statuses, (std::vector<int>{SHRED_STATUS_ENGINE_MISSING}));
    ASSERT_EQ(test::messages().texts().size(), 1u);
    EXPECT_EQ(
        test::messages().texts()[0],
        QStringLiteral("Could not locate necessary dll 'VSKRemovableShredder.dll' (VSKRMShred)"));
}
