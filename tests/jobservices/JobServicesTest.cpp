// The job services on their own: the inhibitor follows the running jobs, notices go out only
// while the window is inactive, the launcher shows the mean progress, and the job's other
// observers (its display) hear of every report untouched.
#include "shred/JobServices.h"
#include "DesktopServicesFixture.h"
#include "LanguageChoice.h"
#include "devices/DeviceRecord.h"
#include "lang/TextPlaceholders.h"
#include "shred/CVSKRMShredThread.h"
#include "shred/ShredStatusDisplay.h"

#include <QSignalSpy>
#include <QTest>
#include <kestrune/shred_abi.h>
#include <map>

using namespace kestrune;
using namespace kestrune::test;

namespace {

// What the job's display received, in the engine's numbers.
struct Display final : JobObserver {
    std::vector<std::int32_t> statuses;
    std::int64_t lastSecondValue = 0;
    void jobChanged(const CVSKRMShredThread&, const JobEvent& event, const JobProgress&,
                    const JobProgressChange&) override {
        if (const auto* progress = std::get_if<ProgressEvent>(&event)) {
            statuses.push_back(progress->percent);
        } else if (const auto* finding = std::get_if<FindingEvent>(&event)) {
            statuses.push_back(SHRED_FINDING_FIRST + static_cast<int>(finding->kind));
            lastSecondValue = finding->value;
        } else if (const auto* end = std::get_if<EndedEvent>(&event)) {
            statuses.push_back(code(end->status));
            lastSecondValue = end->detail;
        }
    }
};

using Job = std::shared_ptr<JobServices::Job>;

class JobServicesTest : public DesktopServicesTest {
protected:
    // A job on a disk of its own, which the services and the display observe.
    Job start(JobServices& services, const char* disk) {
        const Job tracked = services.jobStarted(QString::fromUtf8(disk));
        auto job = std::make_shared<CVSKRMShredThread>(std::make_shared<DeviceRecord>(), 101);
        job->addObserver(tracked);
        job->addObserver(display);
        jobs[tracked.get()] = job;
        return tracked;
    }
    // The engine's report, as the job takes it.
    void report(const Job& tracked, std::int32_t status, std::int64_t secondValue = 0) {
        if (const auto event = engineEventOf(status, 1000, secondValue, 1.5))
            jobs.at(tracked.get())->take(*event);
    }
    // Lets whatever the services posted reach the buses and come back.
    static void settle() { QTest::qWait(300); }

    std::shared_ptr<Display> display = std::make_shared<Display>();
    std::map<const JobServices::Job*, std::shared_ptr<CVSKRMShredThread>> jobs;
};

TEST_F(JobServicesTest, TheMachineStaysAwakeWhileAnyJobRuns) {
    StandInLogind logind(systemBus);
    ASSERT_TRUE(logind.registered());
    const auto services = JobServices::forCommandLine();
    const auto& calls = logind.inhibitions();

    const Job alpha = start(*services, "Alpha Stick, 8.00 MB");
    ASSERT_TRUE(QTest::qWaitFor([&] { return calls.size() == 1; }, 5000));
    EXPECT_EQ(calls[0].what, QStringLiteral("sleep:idle"));
    EXPECT_EQ(calls[0].mode, QStringLiteral("block"));
    EXPECT_EQ(calls[0].who, QStringLiteral("Kestrune"));
    EXPECT_EQ(calls[0].why, QStringLiteral("Erasing Alpha Stick, 8.00 MB"));
    EXPECT_TRUE(logind.held(0));

    // A second disk: the reason names both, and the first lock goes once the second is held.
    const Job beta = start(*services, "Beta Card");
    ASSERT_TRUE(QTest::qWaitFor([&] { return calls.size() == 2 && !logind.held(0); }, 5000));
    EXPECT_EQ(calls[1].why, QStringLiteral("Erasing Alpha Stick, 8.00 MB; Beta Card"));
    EXPECT_TRUE(logind.held(1));

    // A failed job leaves the machine awake for the one still running.
    alpha->ended(JobStatus::FailedWrite);
    ASSERT_TRUE(QTest::qWaitFor([&] { return calls.size() == 3 && !logind.held(1); }, 5000));
    EXPECT_EQ(calls[2].why, QStringLiteral("Erasing Beta Card"));
    EXPECT_TRUE(logind.held(2));

    // The last one aborted: nothing is held any more.
    beta->ended(JobStatus::Aborted);
    EXPECT_TRUE(QTest::qWaitFor([&] { return logind.heldCount() == 0; }, 5000));
    settle();
    EXPECT_EQ(calls.size(), 3u);
}

TEST_F(JobServicesTest, AJobThatEndsBeforeTheLockArrivesLeavesNothingHeld) {
    StandInLogind logind(systemBus);
    ASSERT_TRUE(logind.registered());
    const auto services = JobServices::forCommandLine();
    const auto& calls = logind.inhibitions();
    const Job job = start(*services, "Quick Stick");
    job->ended(JobStatus::Shredded);
    // The lock was asked for, and let go of as soon as it came.
    EXPECT_TRUE(QTest::qWaitFor([&] { return calls.size() == 1 && !logind.held(0); }, 5000));
    // The next job is kept awake as before.
    const Job next = start(*services, "Next Stick");
    ASSERT_TRUE(QTest::qWaitFor([&] { return calls.size() == 2 && logind.held(1); }, 5000));
    EXPECT_EQ(calls[1].why, QStringLiteral("Erasing Next Stick"));
    EXPECT_FALSE(logind.held(0));
    next->ended(JobStatus::Shredded);
    EXPECT_TRUE(QTest::qWaitFor([&] { return logind.heldCount() == 0; }, 5000));
}

TEST_F(JobServicesTest, ReportsReachTheDisplayUntouched) {
    const auto services = JobServices::forCommandLine();
    const Job job = start(*services, "Stick");
    report(job, 17);
    report(job, 17);
    report(job, SHRED_FINDING_FIRST);
    report(job, SHRED_STATUS_FAILED_COUNTERFEIT, 123456);
    EXPECT_EQ(display->statuses, (std::vector<std::int32_t>{17, 17, SHRED_FINDING_FIRST,
                                                            SHRED_STATUS_FAILED_COUNTERFEIT}));
    EXPECT_EQ(display->lastSecondValue, 123456);
    job->ended(JobStatus::FailedCounterfeit);
}

TEST_F(JobServicesTest, AJobThatOutlivesTheServicesStillReachesItsDisplay) {
    StandInLogind logind(systemBus);
    ASSERT_TRUE(logind.registered());
    auto services = JobServices::forCommandLine();
    const Job job = start(*services, "Stuck Stick");
    ASSERT_TRUE(QTest::qWaitFor([&] { return logind.heldCount() == 1; }, 5000));
    // The window went while the job hangs in the kernel: the lock goes with it.
    services.reset();
    EXPECT_TRUE(QTest::qWaitFor([&] { return logind.heldCount() == 0; }, 5000));
    report(job, 60);
    job->ended(JobStatus::Aborted);
    settle();
    EXPECT_EQ(display->statuses, std::vector<std::int32_t>{60});
}

TEST_F(JobServicesTest, NoticesGoOutOnlyWhileTheWindowIsInactive) {
    StandInNotifications server(sessionBus);
    ASSERT_TRUE(server.registered());
    const auto services = JobServices::forWindow();

    services->setWindowActive(true);
    start(*services, "Seen Stick")->ended(JobStatus::Shredded);
    settle();
    EXPECT_TRUE(server.notices().empty());

    services->setWindowActive(false);
    start(*services, "Alpha Stick, 8.00 MB")->ended(JobStatus::Shredded);
    start(*services, "Beta Stick")->ended(JobStatus::Formatted);
    start(*services, "Gamma Stick")->ended(JobStatus::Aborted);
    const Job failed = start(*services, "Delta Stick");
    report(failed, SHRED_STATUS_FAILED_COUNTERFEIT, 1 << 30);
    failed->ended(JobStatus::FailedCounterfeit);
    ASSERT_TRUE(QTest::qWaitFor([&] { return server.notices().size() == 4; }, 5000));

    const auto& notices = server.notices();
    EXPECT_EQ(notices[0].summary, QStringLiteral("Shredded: Alpha Stick, 8.00 MB"));
    EXPECT_EQ(notices[0].body, QString());
    EXPECT_EQ(notices[1].summary, QStringLiteral("Shredded and formatted: Beta Stick"));
    EXPECT_EQ(notices[2].summary, QStringLiteral("Erasing aborted: Gamma Stick"));
    EXPECT_EQ(notices[3].summary, QStringLiteral("Erasing failed: Delta Stick"));
    // The failure in the row's own words, with the size the counterfeit really holds.
    EXPECT_EQ(notices[3].body,
              JobStatusText(GetLanguageManager().get(), JobStatus::FailedCounterfeit, 1 << 30));
    EXPECT_TRUE(notices[3].body.contains(QStringLiteral("1.00 GB")));
    for (const auto& notice : notices) {
        EXPECT_EQ(notice.application, QStringLiteral("Vaskor Kestrune"));
        EXPECT_EQ(notice.icon, QStringLiteral("com.vaskorsecurity.kestrune"));
        EXPECT_EQ(notice.actions, (QStringList{QStringLiteral("default"), QStringLiteral("Show")}));
        EXPECT_EQ(notice.hints.value(QStringLiteral("desktop-entry")).toString(),
                  QStringLiteral("com.vaskorsecurity.kestrune"));
    }
    EXPECT_EQ(notices[0].hints.value(QStringLiteral("urgency")).toInt(), 1);
    EXPECT_EQ(notices[3].hints.value(QStringLiteral("urgency")).toInt(), 2);

    // Back in the window: nothing more.
    services->setWindowActive(true);
    start(*services, "Seen Again")->ended(JobStatus::FailedWrite);
    settle();
    EXPECT_EQ(server.notices().size(), 4u);
}

TEST_F(JobServicesTest, NoticesSpeakTheChosenLanguage) {
    chooseLanguage(QStringLiteral("DE"));
    StandInNotifications server(sessionBus);
    StandInLogind logind(systemBus);
    ASSERT_TRUE(server.registered() && logind.registered());
    const auto services = JobServices::forWindow();
    const Job job = start(*services, "Alpha Stick");
    ASSERT_TRUE(QTest::qWaitFor([&] { return logind.heldCount() == 1; }, 5000));
    EXPECT_EQ(logind.inhibitions()[0].why, QStringLiteral("Löscht Alpha Stick"));
    job->ended(JobStatus::FailedWrite);
    ASSERT_TRUE(QTest::qWaitFor([&] { return server.notices().size() == 1; }, 5000));
    EXPECT_EQ(server.notices()[0].summary, QStringLiteral("Löschen fehlgeschlagen: Alpha Stick"));
    EXPECT_EQ(server.notices()[0].body, text("status_failed_write_error"));
    EXPECT_EQ(server.notices()[0].actions[1], QStringLiteral("Anzeigen"));
}

TEST_F(JobServicesTest, OnlyTheDefaultActionOfOurNoticeRaisesTheWindow) {
    StandInNotifications server(sessionBus);
    ASSERT_TRUE(server.registered());
    const auto services = JobServices::forWindow();
    QSignalSpy raised(services.get(), &JobServices::raiseWindowRequested);
    start(*services, "Stick")->ended(JobStatus::Shredded, QStringLiteral("/nowhere/a.pdf"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return server.notices().size() == 1; }, 5000));
    const uint id = server.notices()[0].id;
    // The job's certificate and its folder are offered too; neither raises the window.
    EXPECT_EQ(server.notices()[0].actions,
              (QStringList{"default", "Show", "certificate", "Open certificate", "folder",
                           "Open folder"}));
    server.invoke(id, QStringLiteral("folder"));

    server.invoke(id + 1, QStringLiteral("default")); // another program's notice
    server.invoke(id, QStringLiteral("other"));
    settle();
    EXPECT_EQ(raised.count(), 0);
    server.invoke(id, QStringLiteral("default"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return raised.count() == 1; }, 5000));
    // Once the notice is gone, its action is no longer ours to follow.
    server.CloseNotification(id);
    settle();
    server.invoke(id, QStringLiteral("default"));
    settle();
    EXPECT_EQ(raised.count(), 1);
}

TEST_F(JobServicesTest, WithoutDesktopServicesJobsEndAsBefore) {
    // A session bus without a notification service, a system bus without a login manager.
    LauncherListener listener(sessionBus);
    const auto services = JobServices::forWindow();
    const Job job = start(*services, "Stick");
    report(job, 50);
    job->ended(JobStatus::Shredded);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return !listener.updates().empty() && !listener.updates().back().visible; }, 5000));
    // A login manager that starts later keeps the next job's machine awake.
    StandInLogind logind(systemBus);
    ASSERT_TRUE(logind.registered());
    const Job later = start(*services, "Later Stick");
    EXPECT_TRUE(QTest::qWaitFor([&] { return logind.heldCount() == 1; }, 5000));
    later->ended(JobStatus::Shredded);
    EXPECT_TRUE(QTest::qWaitFor([&] { return logind.heldCount() == 0; }, 5000));

    // And no buses at all.
    ScopedEnvironment noSession("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");
    ScopedEnvironment noSystem("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/bus");
    const auto alone = JobServices::forWindow();
    const Job lonely = start(*alone, "Stick");
    report(lonely, 50);
    lonely->ended(JobStatus::FailedMedia);
    settle();
    EXPECT_EQ(display->statuses.back(), 50);
}

TEST_F(JobServicesTest, TheLauncherShowsTheMeanProgressOfTheRunningJobs) {
    LauncherListener listener(sessionBus);
    ASSERT_TRUE(listener.listening());
    const auto services = JobServices::forWindow();
    const auto& updates = listener.updates();
    auto lastIs = [&](double progress, bool visible) {
        return QTest::qWaitFor(
            [&] {
                return !updates.empty() && qAbs(updates.back().progress - progress) < 1e-9 &&
                       updates.back().visible == visible;
            },
            5000);
    };
    const Job alpha = start(*services, "Alpha");
    ASSERT_TRUE(lastIs(0.0, true));
    report(alpha, 50);
    ASSERT_TRUE(lastIs(0.5, true));
    const Job beta = start(*services, "Beta");
    report(beta, 10);
    ASSERT_TRUE(lastIs(0.3, true));
    // Formatting restarts a row's bar, and the launcher's share of it.
    report(alpha, SHRED_STATUS_FORMATTING + 30);
    ASSERT_TRUE(lastIs(0.2, true));
    alpha->ended(JobStatus::Formatted);
    ASSERT_TRUE(lastIs(0.1, true));
    beta->ended(JobStatus::Aborted);
    ASSERT_TRUE(lastIs(0.0, false));
    for (const auto& update : updates)
        EXPECT_EQ(update.application,
                  QStringLiteral("application://com.vaskorsecurity.kestrune.desktop"));
    // A percent reported again changes nothing.
    const std::size_t count = updates.size();
    const Job gamma = start(*services, "Gamma");
    report(gamma, 20);
    report(gamma, 20);
    ASSERT_TRUE(lastIs(0.2, true));
    settle();
    EXPECT_EQ(updates.size(), count + 2);
    gamma->ended(JobStatus::Shredded);
}

TEST_F(JobServicesTest, BothLanguagesHaveTheTexts) {
    const auto language = GetLanguageManager();
    const int languages = language->GetLanguageCount();
    ASSERT_GE(languages, 2);
    const std::pair<const char*, int> texts[] = {
        {"inhibit_reason", 1},   {"notify_show", 0},    {"notify_shredded", 1},
        {"notify_formatted", 1}, {"notify_aborted", 1}, {"notify_failed", 1},
        {"open_certificate", 0}, {"open_folder", 0},
    };
    for (int index = 0; index < languages; ++index)
        for (const auto& [key, placeholders] : texts) {
            const QString value = language->GetStringForLanguage(QString::fromLatin1(key), index);
            EXPECT_FALSE(value.isEmpty() || value == QString::fromLatin1(key)) << key;
            EXPECT_EQ(value.count(QStringLiteral("%s")), placeholders) << key << " in " << index;
            EXPECT_EQ(value.count(u'%'), placeholders) << key << " in " << index;
        }
}

} // namespace
