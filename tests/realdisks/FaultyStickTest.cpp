// Sticks that misbehave, from the window, on loop devices backed by the FUSE test file
// system mounted as the simulated disks' folder: counterfeit sticks that wrap or lose what
// lies past their real capacity, and a stick that writes at a fixed rate.
#include "PdfText.h"
#include "TestFileSystemWindow.h"
#include "app/SystemUtil.h"
#include "devices/ScanDevices.h"
#include "shred/ErasureCertificate.h"
#include "shred/ShredStatusDisplay.h"

#include <QRegularExpression>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <set>

using namespace kestrune;
using namespace kestrune::test;

namespace {

class FaultyStick : public TestFileSystemWindowTest {
protected:
    LoopDisk& attachRig(TestFileSystemOptions options) {
        options.fileName = QStringLiteral("stick.img");
        return TestFileSystemWindowTest::attachRig(options);
    }
};

struct CounterfeitCase {
    int algorithm;
    TestFileSystemOptions::PastUsable pastUsable;
    // Bytes of the controller's write cache, which answers reads of what was written last.
    std::uint64_t cache = 0;
    bool keepsNothing = false;
};

class CounterfeitStick : public FaultyStick,
                         public ::testing::WithParamInterface<CounterfeitCase> {};

std::string counterfeitName(const ::testing::TestParamInfo<CounterfeitCase>& info) {
    const CounterfeitCase& job = info.param;
    return "Algorithm" + std::to_string(job.algorithm) +
           (job.keepsNothing                                            ? "KeepsNothing"
            : job.pastUsable == TestFileSystemOptions::PastUsable::Wrap ? "Wraps"
                                                                        : "Drops") +
           (job.cache ? "Cache" + std::to_string(job.cache >> 10) + "KiB" : "");
}

} // namespace

TEST_P(CounterfeitStick, EndsCounterfeitWithItsRealSizeAfterErasingAllItHolds) {
    const CounterfeitCase job = GetParam();
    TestFileSystemOptions options;
    options.size = 24 << 20;
    options.usable = (9 << 20) + 1536; // no power of two, not even whole pages
    options.pastUsable = job.pastUsable;
    options.cache = job.cache;
    if (job.keepsNothing) {
        options.keepsNothing = true;
        options.usable = 0;
    }
    const std::uint64_t keeps = options.usable;
    setAlgorithm(job.algorithm);
    setFormat(true);
    LoopDisk& disk = attachRig(options);
    openWindow();
    start(disk.device());
    ASSERT_TRUE(waitUntilNoJobRuns());

    const QString expected = FormatWithOneText(text("status_failed_counterfeit"),
                                               formatSizeText(static_cast<std::int64_t>(keeps)));
    EXPECT_EQ(status(disk.device()), expected);
    const int row = rowOf(disk.device());
    ASSERT_GE(row, 0);
    EXPECT_EQ(window->deviceList()->startButtonOfRow(row)->text(), text("status_start"));

    // Everything the stick really holds was overwritten by the last pass, and never
    // formatted: a counterfeit stick is no stick to hand on.
    const QByteArray held = readBytes(rig->imagePath(), 0, static_cast<qint64>(keeps));
    ASSERT_EQ(held.size(), static_cast<qint64>(keeps));
    EXPECT_FALSE(held.contains(kSecret));
    if (job.algorithm == 100 || keeps == 0) {
        EXPECT_EQ(held.count('\0'), held.size());
    } else {
        std::set<char> seen(held.begin(), held.end());
        EXPECT_EQ(seen.size(), 256u);
    }
    EXPECT_FALSE(firstPartition(rig->imagePath()).has_value());

    const QStringList written = reports();
    ASSERT_EQ(written.size(), 1);
    EXPECT_TRUE(wellFormed(written[0]));
    const QString body = readText(written[0]);
    EXPECT_TRUE(body.contains(QStringLiteral("<result status=\"-14\"")));
    EXPECT_TRUE(body.contains(QStringLiteral("iscleaned=\"0\" isformatted=\"0\"")));
    // A stick that keeps nothing has nothing to erase, nor to read back; its usable size is
    // known all the same: none.
    EXPECT_TRUE(body.contains(
        QStringLiteral("<capacity claimed=\"%1\" usable=\"%2\"/>").arg(options.size).arg(keeps)))
        << body.toStdString();
    if (keeps != 0) {
        EXPECT_TRUE(body.contains(QStringLiteral("<verification result=\"passed\"/>")));
    } else {
        EXPECT_FALSE(body.contains(QStringLiteral("<verification result=\"passed\"/>")));
    }

    // Its certificate says as plainly that this was no complete erasure, and of which stick.
    const QString certificate = certificatePathFor(written[0]);
    ASSERT_TRUE(QFile::exists(certificate));
    KESTRUNE_SKIP_WITHOUT_PDF_TOOLS();
    const QString page = pdfText(certificate);
    const QString serial =
        body.section(QStringLiteral("<item name=\"serial\" source=\"hw\">"), 1).section(u'<', 0, 0);
    const QString version = GetSystemUtil()->FindProgramVersion();
    ASSERT_FALSE(version.isEmpty());
    QStringList facts{
        text("cert_title_not_completed"),
        expected,
        serial,
        version,
        QStringLiteral("(%1 ").arg(GroupedNumber(options.size, text("cert_digit_group"))),
        sha256OfFile(written[0]),
        text(QStringLiteral("shred_algo_short_%1").arg(job.algorithm).toLatin1().constData())};
    facts << QStringLiteral("(%1 ").arg(GroupedNumber(keeps, text("cert_digit_group")));
    if (keeps != 0)
        facts << text("cert_verification_passed");
    for (const QString& fact : facts)
        EXPECT_TRUE(page.contains(fact)) << fact.toStdString() << "\n" << page.toStdString();
    EXPECT_FALSE(page.contains(text("cert_title_certified")));
}

INSTANTIATE_TEST_SUITE_P(
    RealDisks, CounterfeitStick,
    ::testing::Values(CounterfeitCase{100, TestFileSystemOptions::PastUsable::Wrap},
                      CounterfeitCase{101, TestFileSystemOptions::PastUsable::Wrap},
                      CounterfeitCase{102, TestFileSystemOptions::PastUsable::Wrap},
                      CounterfeitCase{103, TestFileSystemOptions::PastUsable::Wrap},
                      CounterfeitCase{100, TestFileSystemOptions::PastUsable::Drop},
                      CounterfeitCase{101, TestFileSystemOptions::PastUsable::Drop},
                      // The controller's cache answers the markers read back at once.
                      CounterfeitCase{100, TestFileSystemOptions::PastUsable::Wrap, 8 << 20},
                      CounterfeitCase{101, TestFileSystemOptions::PastUsable::Drop, 1 << 20},
                      CounterfeitCase{100, TestFileSystemOptions::PastUsable::Drop, 8 << 20, true}),
    counterfeitName);

// What the row shows at each report the display took, read under the table's lock, and
// when the test saw it.
struct Shown {
    std::int64_t at = 0;
    std::chrono::steady_clock::time_point seen;
    double speed = 0;
    std::int64_t bytesLeft = 0;
    QString timeLeft;
};

std::int64_t seconds(const QString& span) {
    const QStringList parts = span.split(u':');
    if (parts.size() != 3)
        return -1;
    return parts[0].toLongLong() * 3600 + parts[1].toLongLong() * 60 + parts[2].toLongLong();
}

// A stick throttled to 2 MiB/s: the speed and the time left the row shows are those the
// device delivers, within a tenth. The throttle is a ceiling, not
// a promise (a loaded sanitizer build delivers less), so the truth is what the test itself
// measures between the reports it saw.
TEST_F(FaultyStick, AThrottledStickShowsItsTrueSpeedAndTimeLeft) {
    constexpr double rate = 2 << 20;
    TestFileSystemOptions options;
    options.size = 12 << 20;
    options.rate = static_cast<std::uint64_t>(rate);
    setAlgorithm(100);
    setFormat(false);
    LoopDisk& disk = attachRig(options);
    openWindow();
    for (int job = 0; job < 2; ++job) {
        start(disk.device());
        const auto record = window->listModel()->recordOfRow(rowOf(disk.device()));
        ASSERT_TRUE(record);
        std::vector<Shown> shown;
        (void)QTest::qWaitFor(
            [&] {
                // Figures are worked out at most once a second, each with a new elapsed time.
                const std::optional<JobProgress> progress = window->jobs().progressOf(*record);
                if (progress && progress->phase == JobPhase::Shredding &&
                    progress->elapsedSeconds &&
                    (shown.empty() || shown.back().at != *progress->elapsedSeconds))
                    shown.push_back({*progress->elapsedSeconds, std::chrono::steady_clock::now(),
                                     progress->speed.value_or(0.0), progress->bytesLeft,
                                     progress->secondsLeft ? FormatTimeSpan(*progress->secondsLeft)
                                                           : QString()});
                return window->jobs().runningCount() == 0;
            },
            120000);
        ASSERT_TRUE(waitUntilNoJobRuns());
        EXPECT_EQ(status(disk.device()), text("status_shredded"));
        // What the engine found out reached the job's progress beside its figures.
        const std::optional<JobProgress> ended = window->jobs().progressOf(*record);
        ASSERT_TRUE(ended);
        EXPECT_TRUE(std::count(ended->findings.begin(), ended->findings.end(),
                               FindingEvent{FindingEvent::Kind::Verified}));
        EXPECT_TRUE(std::count(ended->findings.begin(), ended->findings.end(),
                               FindingEvent{FindingEvent::Kind::Capacity, 12 << 20}));
        ASSERT_GE(shown.size(), 4u) << "the job should take about six seconds";
        const Shown& first = shown.front();
        const Shown& last = shown.back();
        ASSERT_GT(first.bytesLeft, last.bytesLeft);
        const double measured = static_cast<double>(first.bytesLeft - last.bytesLeft) /
                                std::chrono::duration<double>(last.seen - first.seen).count();
        EXPECT_LE(measured, rate * 1.1) << "the throttle did not hold the device back";
        EXPECT_GE(measured, rate / 4) << "the rig is too slow for the test to mean anything";
        // The row's speed is the mean since the job began, so its truth is what the device
        // delivered over the same span; from two seconds on the test's own clock is fine enough.
        for (std::size_t i = 2; i < shown.size(); ++i) {
            SCOPED_TRACE("job " + std::to_string(job) + ", report " + std::to_string(i));
            const double delivered =
                static_cast<double>(first.bytesLeft - shown[i].bytesLeft) /
                std::chrono::duration<double>(shown[i].seen - first.seen).count();
            const double speed = shown[i].speed * 1048576.0;
            EXPECT_NEAR(speed, delivered, delivered / 10);
            const double truth = static_cast<double>(shown[i].bytesLeft) / delivered;
            const std::int64_t estimate = seconds(shown[i].timeLeft);
            ASSERT_GE(estimate, 0) << shown[i].timeLeft.toStdString();
            // The row shows whole seconds, cut off: up to one below the truth is exact.
            EXPECT_NEAR(static_cast<double>(estimate), truth - 0.5, std::max(truth / 10, 1.5));
        }
    }
}

// A stick that shrinks under a pass (a card failing, a device resized) ends as a media
// failure, not shredded. The throttle keeps the pass going while the medium shrinks.
TEST_F(FaultyStick, AStickThatShrinksMidJobIsAMediaFailure) {
    TestFileSystemOptions options;
    options.size = 16 << 20;
    options.rate = 8 << 20;
    setAlgorithm(100);
    setFormat(false);
    LoopDisk& disk = attachRig(options);
    openWindow();
    start(disk.device());
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            QFile image(rig->imagePath());
            return image.open(QIODevice::ReadOnly) && !image.read(4096).contains(kSecret);
        },
        30000));
    ASSERT_EQ(runProgram(QStringLiteral("truncate"),
                         {QStringLiteral("-s"), QStringLiteral("8M"), rig->imagePath()}),
              0);
    ASSERT_EQ(runProgram(QStringLiteral("losetup"), {QStringLiteral("-c"), disk.device()}), 0);
    ASSERT_TRUE(waitUntilNoJobRuns());
    EXPECT_EQ(status(disk.device()), text("status_failed_media"));
    const QStringList written = reports();
    ASSERT_EQ(written.size(), 1);
    EXPECT_TRUE(readText(written[0]).contains(QStringLiteral("<result status=\"-4\"")));
}
