#include "DamagedObjects.h"
#include "TestSupport.h"
#include "app/SettingsStore.h"
#include "devices/DeviceRecord.h"
#include "lang/LanguageManager.h"
#include "shred/CVSKRMShredThread.h"
#include "shred/ShredReport.h"

#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>
#include <kestrune/disk_numbers.h>
#include <mutex>
#include <vector>

using namespace kestrune;
using platform::RegistryRoot;

namespace {

std::mutex statusMutex;
std::vector<int> statuses;
std::function<void(int status)> onStatus;

void recordStatus(void*, std::int32_t, std::int32_t status, std::int64_t, std::int64_t, double) {
    {
        std::lock_guard guard(statusMutex);
        statuses.push_back(status);
    }
    if (onStatus)
        onStatus(status);
}

KestruneDiskIdentity identityNamed(const char* path, std::uint64_t devt) {
    KestruneDiskIdentity id{};
    std::snprintf(id.path, sizeof id.path, "%s", path);
    id.devt = devt;
    id.diskseq = devt + 1;
    return id;
}

class ShredWorkerTest : public ::testing::Test {
protected:
    void SetUp() override {
        statuses.clear();
        onStatus = nullptr;
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
    // Runs one job; the formatter reports 0, 50 and 100 percent and answers `outcome`.
    std::unique_ptr<CVSKRMShredThread> run(FormatResult outcome = FormatResult::Formatted) {
        auto job = std::make_unique<CVSKRMShredThread>(nullptr, record, 101, &recordStatus, 0);
        job->setFormatter([this, outcome](const FormatJob& format) {
            formattedDisk = format.deviceNumber;
            formatAbortFlag = format.abortFlag;
            formatIdentity = format.identity;
            formatIdentityKnown = format.identityKnown;
            for (int p : {0, 50, 100})
                format.callback(format.context, static_cast<int>(format.deviceNumber), 300 + p, 0,
                                0, 0.0);
            return outcome;
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
    const unsigned char* formatAbortFlag = nullptr;
    KestruneDiskIdentity formatIdentity{};
    bool formatIdentityKnown = false;
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
    auto job = run(FormatResult::Failed);
    EXPECT_EQ(job->finalStatus(), SHRED_STATUS_FAILED_FORMAT);
    EXPECT_EQ(statuses.back(), SHRED_STATUS_FAILED_FORMAT);
    EXPECT_TRUE(
        job->report()->body().contains(QStringLiteral("iscleaned=\"1\" isformatted=\"0\"")));
}

TEST_F(ShredWorkerTest, TheFormatSeesTheJobsAbortFlagAndAnAbortedFormatEndsAborted) {
    setFormatDrive(true);
    auto job = run(FormatResult::Aborted);
    EXPECT_EQ(formatAbortFlag, &record->abortRequested);
    EXPECT_EQ(job->finalStatus(), SHRED_STATUS_ABORTED);
    EXPECT_EQ(statuses.back(), SHRED_STATUS_ABORTED);
    EXPECT_TRUE(
        job->report()->body().contains(QStringLiteral("iscleaned=\"1\" isformatted=\"0\"")));
}

// Were the number to pass to another disk while the engine ran, the format would still
// go to the disk the job was started on, never to the number's new disk.
TEST_F(ShredWorkerTest, TheFormatGoesToTheDiskTheJobBeganOnNotToTheNumbersNewDisk) {
    setFormatDrive(true);
    const KestruneDiskIdentity first = identityNamed("/dev/first", 0x810);
    const std::int32_t number = kestrune_disk_number_acquire(&first);
    ASSERT_GE(number, 0);
    record->deviceNumber = static_cast<std::uint32_t>(number);
    onStatus = [number](int status) {
        if (status != 100)
            return;
        kestrune_disk_number_release(number);
        const KestruneDiskIdentity other = identityNamed("/dev/other", 0x820);
        EXPECT_EQ(kestrune_disk_number_acquire(&other), number);
    };
    run();
    kestrune_disk_number_release(number);
    EXPECT_TRUE(formatIdentityKnown);
    EXPECT_STREQ(formatIdentity.path, "/dev/first");
    EXPECT_EQ(formatIdentity.devt, 0x810u);
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
