#include "LanguageChoice.h"
#include "UpdateTestKit.h"

#include <QRegularExpression>

using namespace kestrune;
using namespace kestrune::test;
using platform::RegistryRoot;

namespace {

constexpr std::int64_t kNow = 1'700'000'000;
constexpr std::uint32_t kDay = 86400;

class UpdateManagerTest : public SettingsFixture {
protected:
    std::shared_ptr<UpdateManager> manager(std::int64_t now = kNow) {
        auto updates = GetUpdateManager();
        updates->SetClock([this] { return clock_; });
        clock_ = now;
        return updates;
    }
    std::optional<std::uint32_t> lastUpdate() const {
        return userDword(kUpdateKey, QStringLiteral("LastUpdate"));
    }
    std::int64_t clock_ = kNow;
};

TEST_F(UpdateManagerTest, EmptyRegistryIsWeeklyActiveAndDueAtOnceThenStamped) {
    auto updates = manager();
    EXPECT_TRUE(updates->IsUpdateAvailable());
    EXPECT_FALSE(updates->GetHideUpdate());
    EXPECT_FALSE(updates->GetNotActivate());
    EXPECT_EQ(updates->GetUpdateSchedule(), 2u);

    EXPECT_TRUE(updates->IsUpdateDue(2));
    EXPECT_EQ(lastUpdate(), std::uint32_t(kNow));
    clock_ += 7 * kDay;
    EXPECT_FALSE(updates->IsUpdateDue(2)) << "exactly one period is not enough";
    clock_ += 1;
    EXPECT_TRUE(updates->IsUpdateDue(2));
    EXPECT_EQ(lastUpdate(), std::uint32_t(kNow + 7 * kDay + 1));
}

TEST_F(UpdateManagerTest, PeriodMustBeExceededStrictlyForEachSchedule) {
    const std::pair<std::uint32_t, std::uint32_t> schedules[] = {
        {1, kDay}, {2, 7 * kDay}, {3, 30 * kDay}};
    for (const auto& [schedule, period] : schedules) {
        putDword(RegistryRoot::CurrentUser, kUpdateKey, QStringLiteral("LastUpdate"),
                 std::uint32_t(kNow) - period);
        auto updates = manager(kNow);
        EXPECT_FALSE(updates->IsUpdateDue(schedule)) << schedule;
        EXPECT_EQ(lastUpdate(), std::uint32_t(kNow) - period) << "not due leaves the stamp";
        clock_ = kNow + 1;
        EXPECT_TRUE(updates->IsUpdateDue(schedule)) << schedule;
        EXPECT_EQ(lastUpdate(), std::uint32_t(kNow + 1));
    }
}

TEST_F(UpdateManagerTest, ClockSetBackWaitsUntilStampPlusPeriod) {
    const std::uint32_t future = std::uint32_t(kNow) + 5000;
    putDword(RegistryRoot::CurrentUser, kUpdateKey, QStringLiteral("LastUpdate"), future);
    auto updates = manager(kNow);
    EXPECT_FALSE(updates->IsUpdateDue(1));
    clock_ = std::int64_t(future) + kDay;
    EXPECT_FALSE(updates->IsUpdateDue(1));
    clock_ += 1;
    EXPECT_TRUE(updates->IsUpdateDue(1));
}

TEST_F(UpdateManagerTest, OnlyTheLow32BitsOfTimeCountAndTheSumWraps) {
    putDword(RegistryRoot::CurrentUser, kUpdateKey, QStringLiteral("LastUpdate"), 0xFFFFFFF0u);
    const std::int64_t wrapped = std::int64_t(1) << 32;
    // 0xFFFFFFF0 + 86400 wraps to 86384.
    auto updates = manager(wrapped + 86384);
    EXPECT_FALSE(updates->IsUpdateDue(1));
    clock_ = wrapped + 86385;
    EXPECT_TRUE(updates->IsUpdateDue(1));
    EXPECT_EQ(lastUpdate(), 86385u);
}

TEST_F(UpdateManagerTest, NotActivateAndUnknownSchedulesNeverTouchLastUpdate) {
    putDword(RegistryRoot::CurrentUser, kUpdateKey, QStringLiteral("NotActivate"), 1);
    putDword(RegistryRoot::CurrentUser, kUpdateKey, QStringLiteral("DayCheck"), 3);
    auto updates = manager();
    EXPECT_TRUE(updates->GetNotActivate());
    EXPECT_EQ(updates->GetUpdateSchedule(), 0u);
    EXPECT_FALSE(updates->IsUpdateDue(updates->GetUpdateSchedule()));
    EXPECT_FALSE(lastUpdate().has_value());

    // Any non-zero value switches checks off, but only exactly 1 reads as "not activated".
    putDword(RegistryRoot::CurrentUser, kUpdateKey, QStringLiteral("NotActivate"), 2);
    EXPECT_FALSE(updates->GetNotActivate());
    EXPECT_EQ(updates->GetUpdateSchedule(), 0u);

    putDword(RegistryRoot::CurrentUser, kUpdateKey, QStringLiteral("NotActivate"), 0);
    putDword(RegistryRoot::CurrentUser, kUpdateKey, QStringLiteral("DayCheck"), 5);
    EXPECT_EQ(updates->GetUpdateSchedule(), 5u);
    EXPECT_FALSE(updates->IsUpdateDue(5));
    EXPECT_FALSE(lastUpdate().has_value());
}

TEST_F(UpdateManagerTest, HideUpdateCountsOnlyAsExactlyOneInTheMachineHive) {
    auto updates = manager();
    putDword(RegistryRoot::CurrentUser, kUpdateKey, QStringLiteral("HideUpdate"), 1);
    EXPECT_FALSE(updates->GetHideUpdate());
    putDword(RegistryRoot::LocalMachine, kUpdateKey, QStringLiteral("HideUpdate"), 2);
    EXPECT_FALSE(updates->GetHideUpdate());
    putDword(RegistryRoot::LocalMachine, kUpdateKey, QStringLiteral("HideUpdate"), 1);
    EXPECT_TRUE(updates->GetHideUpdate());
}

TEST_F(UpdateManagerTest, MissingComponentIsSilentAndUnavailable) {
    unregisterUpdateComponent();
    auto updates = manager();
    EXPECT_FALSE(updates->IsUpdateAvailable());
    EXPECT_EQ(updates->LoadUpdateComponent(), nullptr);
    EXPECT_EQ(updates->RunUpdate(1), 0);
    EXPECT_TRUE(messages().boxes().empty());
}

// With a signed feed on a local HTTPS server.
class UpdateManagerFeedTest : public SignedUpdateFixture {};

TEST_F(UpdateManagerFeedTest, RunUpdateAsksTheComponentAndTracesItsAnswer) {
    publish({.version = QStringLiteral("99.0")});
    auto updates = GetUpdateManager();
    ::testing::internal::CaptureStdout();
    const int answer = updates->RunUpdate(1);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(answer, 2);
    EXPECT_NE(out.find("VSKUpdate: 2\n"), std::string::npos) << out;
}

TEST_F(UpdateManagerTest, ComponentGoneAfterCreationCallsNothingAndAnswersZero) {
    setFeed(writeFile(QStringLiteral("feed.txt"), "version=99.0\n"));
    auto updates = manager();
    ASSERT_TRUE(updates->IsUpdateAvailable());
    unregisterUpdateComponent();
    ::testing::internal::CaptureStdout();
    const int answer = updates->RunUpdate(1);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(answer, 0);
    EXPECT_EQ(out.find("VSKUpdate:"), std::string::npos) << out;
}

TEST_F(UpdateManagerFeedTest, AnUnverifiedUpdateIsToldInTheUsersLanguageAndAnswersZero) {
    publishFeed("version=99.0\nurl=p.deb\nsha256=" + QByteArray(64, '0') + "\n");
    for (const char* language : {"NTV", "DE"}) {
        releaseAll();
        messages().clear();
        chooseLanguage(QString::fromLatin1(language));
        auto updates = GetUpdateManager();
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const int answer = updates->RunUpdate(1);
        const std::string errors = ::testing::internal::GetCapturedStderr();
        const std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(answer, 0) << "neither an offer nor a reason to close";
        EXPECT_NE(out.find("VSKUpdate: 3\n"), std::string::npos) << out;
        EXPECT_NE(errors.find("The update was refused"), std::string::npos) << errors;
        const auto boxes = boxesBesidesVersion();
        ASSERT_EQ(boxes.size(), 1u) << language;
        EXPECT_EQ(boxes[0].text,
                  GetLanguageManager()->GetString(QStringLiteral("message_update_not_verified")));
        EXPECT_EQ(boxes[0].caption, GetSettingsStore()->GetProductName());
        EXPECT_EQ(boxes[0].style, unsigned(platform::MB_OK_STYLE | platform::MB_ICONERROR_STYLE));
    }
    EXPECT_EQ(
        boxesBesidesVersion()[0].text,
        QStringLiteral("Das Update konnte nicht überprüft werden und wurde nicht installiert."));
}

} // namespace
