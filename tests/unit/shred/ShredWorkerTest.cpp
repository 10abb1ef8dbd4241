#include "DamagedObjects.h"
#include "JobTurns.h"
#include "TestSupport.h"
#include "app/SettingsStore.h"
#include "devices/DeviceRecord.h"
#include "lang/LanguageManager.h"
#include "platform/DiskAuthorization.h"
#include "shred/CVSKRMShredThread.h"
#include "shred/ShredReport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <kestrune/disk_numbers.h>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kestrune;
using platform::RegistryRoot;

namespace {

std::mutex statusMutex;
std::vector<int> statuses;
std::vector<std::int64_t> secondValues;
std::vector<double> speeds;
std::function<void(int status)> onStatus;

std::vector<int> findings;

void recordStatus(const test::Turn& turn) {
    const int status = turn.status;
    {
        std::lock_guard guard(statusMutex);
        // What the engine found out is passed on beside the progress, for the job's progress.
        if (status >= SHRED_FINDING_FIRST && status <= SHRED_FINDING_LAST) {
            findings.push_back(status);
            return;
        }
        statuses.push_back(status);
        secondValues.push_back(turn.secondValue);
        speeds.push_back(turn.speed);
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
        findings.clear();
        secondValues.clear();
        speeds.clear();
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
        for (const char* name : {"KESTRUNE_FAKE_ENGINE_RESULT", "KESTRUNE_FAKE_ENGINE_USABLE",
                                 "KESTRUNE_FAKE_ENGINE_MISMATCH", "KESTRUNE_FAKE_ENGINE_SILENT_MS",
                                 "KESTRUNE_FAKE_ENGINE_PASSES"})
            qunsetenv(name);
    }
    void TearDown() override { ShredReport::setSaveFileAsker({}); }
    void useEngine(const char* kind) {
        test::registerComponentDirectory(QStringLiteral("VSKRemovableShredder.dll"),
                                         QStringLiteral(KESTRUNE_TEST_ENGINES "/") + kind);
    }
    void setFormatDrive(bool on) {
        test::writeRegistryDword(RegistryRoot::CurrentUser, test::productKey("\\Settings"),
                                 QStringLiteral("FormatDrive"), on ? 1 : 0);
    }
    // Runs one job; the formatter reports 0, 50 and 100 percent and answers `outcome`.
    std::unique_ptr<CVSKRMShredThread>
    run(FormatResult outcome = FormatResult::Formatted,
        std::shared_ptr<platform::DiskAuthorization> authorization = nullptr,
        std::chrono::milliseconds heartbeat = std::chrono::milliseconds(1000)) {
        auto job = std::make_unique<CVSKRMShredThread>(record, algorithm);
        job->addObserver(std::make_shared<test::TurnObserver>(&recordStatus));
        job->setDiskAuthorization(std::move(authorization));
        job->setHeartbeat(heartbeat);
        job->setFormatter([this, outcome](const FormatJob& format) {
            formattedDisk = format.deviceNumber;
            formatAbortFlag = format.abortFlag;
            formatIdentity = format.identity;
            formatIdentityKnown = format.identityKnown;
            formatSkipsZeros = format.diskReadsAsZeros;
            if (duringFormat)
                duringFormat();
            for (int p : {0, 50, 100})
                format.progress(p);
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
    bool formatSkipsZeros = false;
    std::int32_t algorithm = 101;
    std::function<void()> duringFormat;
};

} // namespace

TEST_F(ShredWorkerTest, WithoutFormattingTheEngineResultIsTheFinalStatus) {
    setFormatDrive(false);
    auto job = run();
    EXPECT_EQ(statuses, (std::vector<int>{0, 50, 100, 200}));
    EXPECT_EQ(job->finalStatus(), JobStatus::Shredded);
    EXPECT_EQ(findings, (std::vector<int>{SHRED_FINDING_PASSES_DONE, SHRED_FINDING_CAPACITY,
                                          SHRED_FINDING_VERIFIED}));
    EXPECT_EQ(formattedDisk, 99u);
    EXPECT_TRUE(
        job->report()->body().contains(QStringLiteral("iscleaned=\"1\" isformatted=\"0\"")));
    EXPECT_TRUE(QFile::exists(job->report()->writtenPath()));
}

// The engine stops on the record's flag whether the user pressed Abort or the disk left the
// list; only the user's press is an abort.
TEST_F(ShredWorkerTest, AJobStoppedBecauseItsDiskLeftTheListIsAMediaFailure) {
    setFormatDrive(false);
    qputenv("KESTRUNE_FAKE_ENGINE_RESULT", "-3");
    record->stale.store(true);
    EXPECT_EQ(run()->finalStatus(), JobStatus::FailedMedia);
    record->stale.store(false);
    EXPECT_EQ(run()->finalStatus(), JobStatus::Aborted);
}

TEST_F(ShredWorkerTest, FormattingRunsBetween300And400) {
    setFormatDrive(true);
    auto job = run();
    EXPECT_EQ(tail(5), (std::vector<int>{300, 300, 350, 400, 400}));
    EXPECT_EQ(formattedDisk, 4u);
    EXPECT_TRUE(
        job->report()->body().contains(QStringLiteral("iscleaned=\"1\" isformatted=\"1\"")));
}

TEST_F(ShredWorkerTest, OnlyZerosReadBackFromTheWholeMediumSpareTheFormatWritingThemAgain) {
    setFormatDrive(true);
    record->sizeBytes = 64 << 20;
    struct Case {
        std::int32_t algorithm;
        const char* usable;   // what the capacity check found
        const char* mismatch; // where the read-back differed
        bool skipsZeros;
    };
    for (const Case& c : {Case{100, nullptr, nullptr, true}, Case{101, nullptr, nullptr, false},
                          Case{102, nullptr, nullptr, false}, Case{100, nullptr, "4096", false},
                          Case{100, "1048576", nullptr, false}}) {
        algorithm = c.algorithm;
        c.usable ? qputenv("KESTRUNE_FAKE_ENGINE_USABLE", c.usable)
                 : qunsetenv("KESTRUNE_FAKE_ENGINE_USABLE");
        c.mismatch ? qputenv("KESTRUNE_FAKE_ENGINE_MISMATCH", c.mismatch)
                   : qunsetenv("KESTRUNE_FAKE_ENGINE_MISMATCH");
        formatSkipsZeros = !c.skipsZeros;
        run();
        EXPECT_EQ(formatSkipsZeros, c.skipsZeros)
            << c.algorithm << " " << (c.usable ? c.usable : "") << (c.mismatch ? c.mismatch : "");
    }
}

TEST_F(ShredWorkerTest, AFailedFormatIsReportedAsSuchNotAsSuccess) {
    setFormatDrive(true);
    auto job = run(FormatResult::Failed);
    EXPECT_EQ(job->finalStatus(), JobStatus::FailedFormat);
    EXPECT_TRUE(job->formatBegan());
    qputenv("KESTRUNE_FAKE_ENGINE_RESULT", "-7"); // the engine's own: no format began
    EXPECT_FALSE(run()->formatBegan());
    EXPECT_EQ(statuses.back(), SHRED_STATUS_FAILED_FORMAT);
    EXPECT_TRUE(
        job->report()->body().contains(QStringLiteral("iscleaned=\"1\" isformatted=\"0\"")));
}

TEST_F(ShredWorkerTest, TheFormatSeesTheJobsAbortFlagAndAnAbortedFormatEndsAborted) {
    setFormatDrive(true);
    auto job = run(FormatResult::Aborted);
    EXPECT_EQ(formatAbortFlag, record->abort.address());
    EXPECT_EQ(job->finalStatus(), JobStatus::Aborted);
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
    record->abort.raise();
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

TEST_F(ShredWorkerTest, WhatTheEngineFoundGoesIntoTheReportNotOntoTheRow) {
    setFormatDrive(false);
    record->sizeBytes = 64 << 20;
    auto job = run();
    EXPECT_EQ(statuses, (std::vector<int>{0, 50, 100, 200}));
    const QString body = job->report()->body();
    EXPECT_TRUE(
        body.contains(QStringLiteral("<capacity claimed=\"67108864\" usable=\"67108864\"/>")))
        << body.toStdString();
    EXPECT_TRUE(body.contains(QStringLiteral("<verification result=\"passed\"/>")));
}

TEST_F(ShredWorkerTest, ACounterfeitStickEndsOnceWithItsUsableSizeForTheRow) {
    setFormatDrive(true);
    record->sizeBytes = 64 << 20;
    qputenv("KESTRUNE_FAKE_ENGINE_RESULT", "-14");
    qputenv("KESTRUNE_FAKE_ENGINE_USABLE", "8000000");
    auto job = run();
    EXPECT_EQ(statuses, (std::vector<int>{0, 50, 100, SHRED_STATUS_FAILED_COUNTERFEIT}));
    EXPECT_EQ(secondValues.back(), 8000000);
    EXPECT_EQ(formattedDisk, 99u);
    const QString body = job->report()->body();
    EXPECT_TRUE(body.contains(QStringLiteral("<result status=\"-14\"")));
    EXPECT_TRUE(
        body.contains(QStringLiteral("<capacity claimed=\"67108864\" usable=\"8000000\"/>")));
    EXPECT_TRUE(body.contains(QStringLiteral("iscleaned=\"0\"")));
}

TEST_F(ShredWorkerTest, AMismatchNamesItsOffsetAndAJobStoppedEarlyNeverReachedTheReadBack) {
    setFormatDrive(false);
    qputenv("KESTRUNE_FAKE_ENGINE_RESULT", "-8");
    qputenv("KESTRUNE_FAKE_ENGINE_MISMATCH", "4096");
    auto job = run();
    EXPECT_EQ(statuses.back(), SHRED_STATUS_FAILED_VERIFY);
    EXPECT_EQ(secondValues.back(), 4096);
    EXPECT_TRUE(job->report()->body().contains(
        QStringLiteral("<verification result=\"failed\" offset=\"4096\"/>")));
    EXPECT_TRUE(job->report()->body().contains(
        QStringLiteral("<range offset=\"4096\" length=\"512\" holds=\"read wrong\"/>")));

    record->sizeBytes = 1000;
    record->abort.raise();
    auto aborted = run();
    const QString body = aborted->report()->body();
    EXPECT_TRUE(body.contains(QStringLiteral("<verification result=\"not reached\"/>")));
    EXPECT_TRUE(body.contains(QStringLiteral("<capacity claimed=\"1000\"/>")));
}

TEST_F(ShredWorkerTest, WhileTheEngineIsSilentItsLastProgressIsRepeatedWithoutASpeed) {
    setFormatDrive(false);
    qputenv("KESTRUNE_FAKE_ENGINE_SILENT_MS", "700");
    run(FormatResult::Formatted, nullptr, std::chrono::milliseconds(100));
    // After the engine's own 50 %, the silence is told as that progress without a speed.
    const auto reported = std::find(statuses.begin(), statuses.end(), 50);
    ASSERT_NE(reported, statuses.end());
    std::vector<int> repeats;
    for (auto i = std::size_t(reported - statuses.begin()) + 1;
         i < statuses.size() && statuses[i] == 50; ++i) {
        EXPECT_EQ(speeds[i], 0.0);
        EXPECT_EQ(secondValues[i], 50);
        repeats.push_back(statuses[i]);
    }
    EXPECT_GE(repeats.size(), 3u);
    EXPECT_EQ(tail(2), (std::vector<int>{100, 200}));
}

TEST_F(ShredWorkerTest, AReportTheUserDidNotSaveIsSaidAfterTheFinalStatus) {
    setFormatDrive(false);
    test::writeRegistryString(RegistryRoot::LocalMachine, test::productKey("\\Settings"),
                              QStringLiteral("LogPath"),
                              logs.filePath(QStringLiteral("missing/and/blocked")));
    QFile blocker(logs.filePath(QStringLiteral("missing")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly)); // a file where the folder should be
    blocker.close();
    int asked = 0;
    ShredReport::setSaveFileAsker([&](const QString&) {
        ++asked;
        return QString();
    });
    auto job = run();
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(tail(2), (std::vector<int>{200, test::kReportNotSaved}));
    EXPECT_TRUE(QDir(logs.path()).entryList({QStringLiteral("*.xml")}).isEmpty());
}

namespace {

// The system's side of a normal user's job: answers with `refusal`, or opens `file` as the
// disk, and records what the job asked for.
class RecordingAuthorization final : public platform::DiskAuthorization {
public:
    platform::DiskOpening openForWriting(const KestruneDiskIdentity& identity,
                                         const unsigned char*) override {
        opened.push_back(QString::fromLocal8Bit(identity.path));
        platform::DiskOpening opening;
        opening.refusal = refusal;
        if (refusal == platform::DiskRefusal::None)
            opening.disk = std::make_unique<platform::AuthorizedDisk>(
                ::open(QFile::encodeName(file).constData(), O_RDWR | O_CLOEXEC));
        return opening;
    }
    void rescan(const KestruneDiskIdentity& identity) override {
        rescanned.push_back(QString::fromLocal8Bit(identity.path));
        descriptorsAtRescan = descriptorsOf(file);
    }
    // The process's descriptors that lead to the file.
    static int descriptorsOf(const QString& path) {
        const QString target = QFileInfo(path).canonicalFilePath();
        int count = 0;
        for (const QFileInfo& fd :
             QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::System))
            count += fd.symLinkTarget() == target ? 1 : 0;
        return count;
    }

    platform::DiskRefusal refusal = platform::DiskRefusal::None;
    QString file;
    QStringList opened;
    QStringList rescanned;
    int descriptorsAtRescan = -1;
};

// A whole disk in the shared pool, as the scan would register it.
std::uint32_t poolDisk(const char* path, bool simulated) {
    KestruneDiskIdentity identity{};
    std::snprintf(identity.path, sizeof identity.path, "%s", path);
    identity.devt = simulated ? 0x99 : 0x830;
    identity.diskseq = 7;
    identity.simulated = simulated ? 1 : 0;
    return static_cast<std::uint32_t>(kestrune_disk_number_acquire(&identity));
}

} // namespace

TEST_F(ShredWorkerTest, ADiskTheSystemRefusesIsNeitherShreddedNorFormatted) {
    setFormatDrive(true);
    record->deviceNumber = poolDisk("/dev/sdx", false);
    auto authorization = std::make_shared<RecordingAuthorization>();
    authorization->refusal = platform::DiskRefusal::NotAuthorized;
    auto job = run(FormatResult::Formatted, authorization);
    kestrune_disk_number_release(static_cast<std::int32_t>(record->deviceNumber));

    EXPECT_EQ(authorization->opened, QStringList{QStringLiteral("/dev/sdx")});
    // The engine never ran: no progress, only the final status.
    EXPECT_EQ(statuses, (std::vector<int>{SHRED_STATUS_FAILED_NOT_AUTHORIZED}));
    EXPECT_EQ(formattedDisk, 99u);
    EXPECT_TRUE(authorization->rescanned.isEmpty());
    const QString body = job->report()->body();
    EXPECT_TRUE(body.contains(QStringLiteral("iscleaned=\"0\" isformatted=\"0\"")));
    EXPECT_TRUE(body.contains(QStringLiteral("<result status=\"-11\""))) << body.toStdString();
}

TEST_F(ShredWorkerTest, EachStepIsHandedTheSystemsDescriptorAndAllAreClosedBeforeTheRescan) {
    setFormatDrive(true);
    record->deviceNumber = poolDisk("/dev/sdx", false);
    QTemporaryDir dir;
    auto authorization = std::make_shared<RecordingAuthorization>();
    authorization->file = dir.filePath(QStringLiteral("disk"));
    QFile(authorization->file).open(QIODevice::WriteOnly);
    struct stat disk {};
    ASSERT_EQ(::stat(QFile::encodeName(authorization->file).constData(), &disk), 0);
    ino_t formattedThrough = 0;
    duringFormat = [&] {
        // The fake engine left its duplicate untaken; the format gets a fresh one.
        const int fd = kestrune_disk_number_take(record->deviceNumber);
        struct stat handed {};
        if (fd >= 0 && ::fstat(fd, &handed) == 0)
            formattedThrough = handed.st_ino;
        if (fd >= 0)
            ::close(fd);
    };
    auto job = run(FormatResult::Formatted, authorization);
    kestrune_disk_number_release(static_cast<std::int32_t>(record->deviceNumber));

    EXPECT_EQ(job->finalStatus(), JobStatus::Formatted);
    EXPECT_EQ(formattedThrough, disk.st_ino);
    EXPECT_EQ(authorization->rescanned, QStringList{QStringLiteral("/dev/sdx")});
    EXPECT_EQ(authorization->descriptorsAtRescan, 0);
    EXPECT_EQ(RecordingAuthorization::descriptorsOf(authorization->file), 0);
}

TEST_F(ShredWorkerTest, AnImageFileIsTheUsersOwnAndNeedsNoAuthorization) {
    setFormatDrive(false);
    record->deviceNumber = poolDisk("/tmp/stick.img", true);
    auto authorization = std::make_shared<RecordingAuthorization>();
    authorization->refusal = platform::DiskRefusal::NotAuthorized;
    auto job = run(FormatResult::Formatted, authorization);
    kestrune_disk_number_release(static_cast<std::int32_t>(record->deviceNumber));
    EXPECT_TRUE(authorization->opened.isEmpty());
    EXPECT_EQ(job->finalStatus(), JobStatus::Shredded);
}
