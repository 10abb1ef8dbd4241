// The estimator on its own: what a job's events make of its figures, with the clocks given.
#include "shred/JobProgress.h"

#include <gtest/gtest.h>
#include <kestrune/shred_abi.h>

using namespace kestrune;

namespace {

constexpr std::int64_t MiB = 1048576;

// One event at a moment of both clocks (seconds since the start, milliseconds).
struct At {
    std::int64_t second;
    std::int64_t ms;
    EngineEvent event;
};

struct Case {
    const char* name;
    std::vector<At> events;
    int percent;
    std::optional<double> speed;
    std::optional<std::int64_t> secondsLeft;
    bool stalled;
    JobPhase phase;
};

} // namespace

TEST(JobProgressEstimator, FiguresFromTheEventsOfAJob) {
    const Case cases[] = {
        {"the speed is the mean of one sample a second, the time left follows from it",
         {{1, 1000, ProgressEvent{10, 90 * MiB, 10 * MiB, 2.0}},
          {1, 1500, ProgressEvent{15, 85 * MiB, 15 * MiB, 9.0}}, // same second: no sample
          {2, 2000, ProgressEvent{20, 80 * MiB, 20 * MiB, 4.0}}},
         20,
         3.0,
         80 / 3,
         false,
         JobPhase::Shredding},
        {"a device that stopped answering for ten seconds shows no speed and no time left",
         {{1, 1000, ProgressEvent{10, 90 * MiB, 10 * MiB, 2.0}},
          {5, 5000, ProgressEvent{10, 90 * MiB, 10 * MiB, 0.0}},
          {11, 11000, ProgressEvent{10, 90 * MiB, 10 * MiB, 0.0}}},
         10,
         0.0,
         std::nullopt,
         true,
         JobPhase::Shredding},
        {"a job that ends shows the mean speed of all it moved",
         {{1, 0, ProgressEvent{0, 100 * MiB, 0, 0.0}},
          {2, 1000, ProgressEvent{50, 50 * MiB, 50 * MiB, 90.0}},
          {3, 4000, ProgressEvent{100, 0, 100 * MiB, 10.0}},
          {3, 4000, EndedEvent{JobStatus::Shredded}}},
         100,
         25.0,
         0,
         false,
         JobPhase::Ended},
        {"a counterfeit's bar keeps the furthest it wrote, not its second start from 0 %",
         {{1, 0, ProgressEvent{0, 100 * MiB, 0, 0.0}},
          {1, 100, ProgressEvent{80, 20 * MiB, 80 * MiB, 0.0}},
          {1, 200, ProgressEvent{5, 95 * MiB, 85 * MiB, 0.0}},
          {1, 300, EndedEvent{JobStatus::FailedCounterfeit, 12 * MiB}}},
         80,
         425.0,
         std::nullopt,
         false,
         JobPhase::Ended},
        {"a failed format ends its bar full: the erasure before it was whole",
         {{1, 0, ProgressEvent{100, 0, 0, 0.0}},
          {1, 0, FormattingEvent{0}},
          {1, 0, FormattingEvent{1}},
          {1, 0, EndedEvent{JobStatus::FailedFormat}}},
         100,
         0.0,
         std::nullopt,
         false,
         JobPhase::Ended},
    };
    for (const Case& c : cases) {
        JobProgressEstimator estimator(0);
        for (const At& at : c.events)
            estimator.apply(at.event, at.second, at.ms);
        const JobProgress& progress = estimator.progress();
        EXPECT_EQ(progress.percent, c.percent) << c.name;
        EXPECT_EQ(progress.speed, c.speed) << c.name;
        EXPECT_EQ(progress.secondsLeft, c.secondsLeft) << c.name;
        EXPECT_EQ(progress.stalled, c.stalled) << c.name;
        EXPECT_EQ(progress.phase, c.phase) << c.name;
    }
}

// An abort is the progress's until the job's last word; the documents' outcome comes after.
TEST(JobProgressEstimator, AnAbortAndTheDocumentsFollowTheEnd) {
    JobProgressEstimator estimator(0);
    EXPECT_TRUE(estimator.requestAbort());
    EXPECT_TRUE(estimator.progress().aborting);
    estimator.apply(EndedEvent{JobStatus::Aborted}, 1, 0);
    EXPECT_FALSE(estimator.progress().aborting);
    EXPECT_FALSE(estimator.requestAbort());
    const JobProgressChange change =
        estimator.documents(DocumentsEvent{false, true, false, QStringLiteral("/r.xml"), {}});
    EXPECT_TRUE(change.status);
    EXPECT_TRUE(estimator.progress().certificateNotSaved);
    EXPECT_EQ(estimator.progress().reportPath, QStringLiteral("/r.xml"));
}

// Every code of the engine's callback as the job takes it; codes that mean nothing are
// dropped rather than read as progress.
TEST(EngineEvents, EachStatusOfTheEngineIsOneTypedEvent) {
    using Kind = FindingEvent::Kind;
    const std::pair<std::int32_t, std::optional<EngineEvent>> table[] = {
        {0, ProgressEvent{0, 7, 9, 1.5}},
        {100, ProgressEvent{100, 7, 9, 1.5}},
        {SHRED_STATUS_FORMATTING, FormattingEvent{0}},
        {SHRED_STATUS_FORMATTING + 42, FormattingEvent{42}},
        {SHRED_STATUS_SHREDDED, EndedEvent{JobStatus::Shredded, 9}},
        {SHRED_STATUS_FORMATTED, EndedEvent{JobStatus::Formatted, 9}},
        {SHRED_STATUS_FAILED_COUNTERFEIT, EndedEvent{JobStatus::FailedCounterfeit, 9}},
        {-99, EndedEvent{JobStatus{-99}, 9}},
        {SHRED_FINDING_CAPACITY, FindingEvent{Kind::Capacity, 9, 7}},
        {SHRED_FINDING_VERIFIED, FindingEvent{Kind::Verified, 9, 7}},
        {SHRED_FINDING_VERIFY_MISMATCH, FindingEvent{Kind::VerifyMismatch, 9, 7}},
        {SHRED_FINDING_PASSES_DONE, FindingEvent{Kind::PassesDone, 9, 7}},
        {SHRED_FINDING_VERIFY_INTERRUPTED, FindingEvent{Kind::VerifyInterrupted, 9, 7}},
        {SHRED_FINDING_RANGE_WRONG, FindingEvent{Kind::RangeWrong, 9, 7}},
        {SHRED_FINDING_RANGE_UNREADABLE, FindingEvent{Kind::RangeUnreadable, 9, 7}},
        {SHRED_FINDING_RANGE_KEPT, FindingEvent{Kind::RangeKept, 9, 7}},
        {101, std::nullopt},
        {250, std::nullopt},
        {SHRED_FINDING_RANGE_KEPT + 1, std::nullopt},
        {600, std::nullopt},
    };
    for (const auto& [status, expected] : table)
        EXPECT_EQ(engineEventOf(status, 7, 9, 1.5), expected) << status;
}
