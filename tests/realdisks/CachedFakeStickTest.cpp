// Counterfeit sticks on loop devices over the FUSE test device, shredded by the engine as a
// job does: those whose controller keeps the last bytes written in memory and answers reads
// of them, every kind with each cache size and each algorithm, and genuine sticks behind a
// cache (a stick of 256 MiB keeps 32 MiB for the zeros, smaller ones stand in for the
// algorithms that write more); then each kind of controller that fools a check by where it
// writes first, and a bad block, with the ranges the engine names for the report.
#include "RealDisks.h"
#include "TestFileSystem.h"

#include "shredengine/DiskAccess.h"

#include <QFile>
#include <chrono>
#include <gtest/gtest.h>
#include <optional>
#include <set>
#include <sys/stat.h>

using namespace kestrune::test;
using namespace kestrune::engine;
using namespace kestrune::blockio;
using Options = TestFileSystemOptions;

namespace {

constexpr std::uint64_t KiB = 1024;
constexpr std::uint64_t MiB = 1024 * KiB;

enum class Kind { Drops, Wraps, KeepsNothing, Genuine };

struct FakeCase {
    int32_t algorithm;
    Kind kind;
    std::uint64_t cache;
    std::uint64_t claimed = 128 * MiB;
    std::uint64_t real = 16 * MiB;
};

std::string fakeCaseName(const ::testing::TestParamInfo<FakeCase>& info) {
    const FakeCase& fake = info.param;
    const char* kind = fake.kind == Kind::Drops          ? "Drops"
                       : fake.kind == Kind::Wraps        ? "Wraps"
                       : fake.kind == Kind::KeepsNothing ? "KeepsNothing"
                                                         : "Genuine";
    return std::string(kind) + "Algorithm" + std::to_string(fake.algorithm) + "Cache" +
           std::to_string(fake.cache / KiB) + "KiB";
}

const QByteArray kOldData = QByteArrayLiteral("what the stick held before 4711");

struct Finding {
    int32_t status;
    std::int64_t value;
};

void record(void* context, int32_t, int32_t status, int64_t, int64_t value, double) {
    if (status >= SHRED_FINDING_FIRST && status <= SHRED_FINDING_LAST)
        static_cast<std::vector<Finding>*>(context)->push_back({status, value});
}

std::optional<std::int64_t> finding(const std::vector<Finding>& findings, int32_t status) {
    for (const Finding& found : findings) {
        if (found.status == status)
            return found.value;
    }
    return std::nullopt;
}

KestruneDiskIdentity identityOf(const QString& device) {
    KestruneDiskIdentity id{};
    std::snprintf(id.path, sizeof id.path, "%s", device.toLocal8Bit().constData());
    struct stat st {};
    EXPECT_EQ(::stat(id.path, &st), 0);
    id.devt = st.st_rdev;
    id.diskseq = readDiskFacts("/sys", st.st_rdev).diskseq;
    return id;
}

constexpr std::uint64_t kClaimed = 64 * MiB;
constexpr std::uint64_t kReal = 12 * MiB + 1536;

struct Found {
    std::optional<std::int64_t> usable;
    std::vector<std::array<std::int64_t, 3>> ranges; // finding, offset, length
};

void collect(void* context, int32_t, int32_t status, int64_t offset, int64_t value, double) {
    auto& found = *static_cast<Found*>(context);
    if (status == SHRED_FINDING_CAPACITY)
        found.usable = value;
    else if (status >= SHRED_FINDING_RANGE_WRONG && status <= SHRED_FINDING_RANGE_KEPT)
        found.ranges.push_back({status, offset, value});
}

struct Row {
    const char* kind;
    Options options;
    int32_t status;
    std::int64_t usable;
    int32_t range; // the finding every named range has; 0: none named
    int32_t algorithm = 100;
};

std::vector<Row> rows() {
    std::vector<Row> all;
    Options o;
    o.size = kClaimed;
    o.directIo = true;
    auto fake = [&](auto change) {
        Options changed = o;
        changed.usable = kReal;
        change(changed);
        return changed;
    };
    all.push_back({"flash in write order, dropped when used up", fake([](Options& f) {
                       f.usable = 12 * MiB;
                       f.pastUsable = Options::PastUsable::Drop;
                       f.flashOrder = Options::FlashOrder::Drop;
                   }),
                   SHRED_STATUS_FAILED_COUNTERFEIT, 12 * MiB, 0});
    all.push_back({"small writes in a log", fake([](Options& f) {
                       f.pastUsable = Options::PastUsable::Drop;
                       f.smallWriteLog = 4 * MiB;
                   }),
                   SHRED_STATUS_FAILED_COUNTERFEIT, kReal, 0});
    all.push_back({"a cache that keeps what was read", fake([](Options& f) {
                       f.pastUsable = Options::PastUsable::Drop;
                       f.cache = 4 * MiB;
                       f.readProtect = true;
                   }),
                   SHRED_STATUS_FAILED_COUNTERFEIT, kReal, 0});
    all.push_back({"a wrap with an offset", fake([](Options& f) { f.wrapOffset = 5 * MiB + 512; }),
                   SHRED_STATUS_FAILED_COUNTERFEIT, kReal, 0});
    all.push_back({"real flash at the end", fake([](Options& f) {
                       f.usable = 12 * MiB;
                       f.pastUsable = Options::PastUsable::KeepEnd;
                   }),
                   SHRED_STATUS_FAILED_COUNTERFEIT, 0, SHRED_FINDING_RANGE_KEPT, 101});
    Options bad = o;
    bad.badBlock = Options::BadBlock::Fails;
    bad.badBlockAt = 30 * MiB + 4096;
    all.push_back({"a bad block that fails", bad, SHRED_STATUS_FAILED_MEDIA,
                   static_cast<std::int64_t>(kClaimed), SHRED_FINDING_RANGE_UNREADABLE});
    bad.badBlock = Options::BadBlock::Lies;
    bad.badBlockAt = kClaimed - 4096; // under the last marker
    all.push_back({"a bad block that lies", bad, SHRED_STATUS_FAILED_VERIFY,
                   static_cast<std::int64_t>(kClaimed), SHRED_FINDING_RANGE_WRONG});
    return all;
}

class CachedFakeStick : public ::testing::TestWithParam<FakeCase> {
protected:
    void SetUp() override {
        if (const QString reason = loopDevicesUnavailable(); !reason.isEmpty())
            GTEST_SKIP() << reason.toStdString();
        KESTRUNE_SKIP_WITHOUT_TESTFS();
    }
};

} // namespace

TEST_P(CachedFakeStick, ErasesWhatItKeepsAndSaysHowMuchThatIs) {
    const FakeCase fake = GetParam();
    TestFileSystemOptions options;
    options.size = fake.claimed;
    options.cache = fake.cache;
    options.directIo = true;
    options.pastUsable = fake.kind == Kind::Wraps ? TestFileSystemOptions::PastUsable::Wrap
                                                  : TestFileSystemOptions::PastUsable::Drop;
    if (fake.kind == Kind::KeepsNothing)
        options.keepsNothing = true;
    else if (fake.kind != Kind::Genuine)
        options.usable = fake.real;
    const std::uint64_t keeps = fake.kind == Kind::Genuine        ? fake.claimed
                                : fake.kind == Kind::KeepsNothing ? 0
                                                                  : fake.real;
    TestFileSystem rig(options);
    ASSERT_TRUE(rig.mounted()) << rig.error().toStdString();
    {
        QFile image(rig.imagePath());
        ASSERT_TRUE(image.open(QIODevice::ReadWrite));
        for (std::uint64_t at : {std::uint64_t{0}, keeps / 3, keeps / 2 + 12345}) {
            image.seek(static_cast<qint64>(at));
            image.write(kOldData);
        }
    }
    LoopDisk loop(rig.imagePath());
    ASSERT_TRUE(loop.attached());

    DiskAccessOptions access;
    access.requireRemovable = false; // a loop device stands in for the stick
    std::vector<Finding> findings;
    const int32_t status =
        shredDisk(identityOf(loop.device()), 0, fake.algorithm, record, &findings, nullptr, access);
    ASSERT_TRUE(loop.detach());
    if (fake.kind == Kind::Genuine) {
        EXPECT_EQ(status, SHRED_STATUS_SHREDDED);
    } else {
        EXPECT_EQ(status, SHRED_STATUS_FAILED_COUNTERFEIT) << "the cache fooled the check";
    }
    if (keeps == 0) {
        EXPECT_EQ(finding(findings, SHRED_FINDING_CAPACITY), 0) << "it keeps nothing, and says so";
        // Every pass went over the whole claimed size before the check could tell.
        EXPECT_EQ(finding(findings, SHRED_FINDING_PASSES_DONE), fake.algorithm == 102   ? 3
                                                                : fake.algorithm == 103 ? 35
                                                                                        : 1);
        EXPECT_FALSE(finding(findings, SHRED_FINDING_VERIFIED).has_value());
        return;
    }
    EXPECT_EQ(finding(findings, SHRED_FINDING_CAPACITY), static_cast<std::int64_t>(keeps));
    EXPECT_TRUE(finding(findings, SHRED_FINDING_VERIFIED).has_value());

    // All it keeps holds the last pass: no old data and no marker of the check.
    const QByteArray kept = readBytes(rig.imagePath(), 0, static_cast<qint64>(keeps));
    ASSERT_EQ(kept.size(), static_cast<qint64>(keeps));
    EXPECT_FALSE(kept.contains(kOldData));
    if (fake.algorithm == 100) {
        EXPECT_EQ(kept.count('\0'), kept.size());
    } else {
        std::set<char> seen(kept.begin(), kept.end());
        EXPECT_EQ(seen.size(), 256u);
        // A marker's chunk repeats its 16-byte tag every 32 bytes; random data never does.
        qint64 repeats = 0;
        for (qint64 at = 0; at + 48 <= kept.size(); at += 32)
            repeats += kept.mid(at, 16) == kept.mid(at + 32, 16);
        EXPECT_EQ(repeats, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    RealDisks, CachedFakeStick,
    ::testing::Values(FakeCase{100, Kind::Drops, 128 * KiB, 256 * MiB, 32 * MiB},
                      FakeCase{101, Kind::Drops, MiB}, FakeCase{102, Kind::Drops, 8 * MiB},
                      FakeCase{103, Kind::Drops, MiB, 64 * MiB, 6 * MiB},
                      FakeCase{100, Kind::Wraps, MiB, 256 * MiB, 32 * MiB},
                      FakeCase{101, Kind::Wraps, 8 * MiB}, FakeCase{102, Kind::Wraps, 128 * KiB},
                      FakeCase{103, Kind::Wraps, 8 * MiB, 64 * MiB, 6 * MiB},
                      FakeCase{100, Kind::KeepsNothing, 8 * MiB, 256 * MiB},
                      FakeCase{101, Kind::KeepsNothing, 128 * KiB},
                      FakeCase{102, Kind::KeepsNothing, MiB},
                      FakeCase{103, Kind::KeepsNothing, 128 * KiB, 64 * MiB},
                      FakeCase{100, Kind::Genuine, 8 * MiB, 64 * MiB},
                      FakeCase{102, Kind::Genuine, MiB, 24 * MiB}),
    fakeCaseName);

TEST(FakeKindsStick, EachKindIsCaughtWithItsSizeAndABadBlockIsNamed) {
    if (const QString reason = loopDevicesUnavailable(); !reason.isEmpty())
        GTEST_SKIP() << reason.toStdString();
    KESTRUNE_SKIP_WITHOUT_TESTFS();
    for (const Row& row : rows()) {
        SCOPED_TRACE(row.kind);
        TestFileSystem rig(row.options);
        ASSERT_TRUE(rig.mounted()) << rig.error().toStdString();
        LoopDisk loop(rig.imagePath());
        ASSERT_TRUE(loop.attached());
        DiskAccessOptions access;
        access.requireRemovable = false; // a loop device stands in for the stick
        Found found;
        EXPECT_EQ(shredDisk(identityOf(loop.device()), 0, row.algorithm, collect, &found, nullptr,
                            access),
                  row.status);
        ASSERT_TRUE(loop.detach());
        EXPECT_EQ(found.usable, row.usable);
        if (row.range == 0) {
            EXPECT_TRUE(found.ranges.empty());
            continue;
        }
        ASSERT_FALSE(found.ranges.empty());
        const auto& [finding, offset, length] = found.ranges.back();
        EXPECT_EQ(finding, row.range);
        if (finding == SHRED_FINDING_RANGE_KEPT) {
            // What reads wrong before it is named too.
            EXPECT_EQ(offset + length, static_cast<std::int64_t>(kClaimed));
            continue;
        }
        // A bad block is one range: to the sector where it reads wrong, within a few
        // sectors where it cannot be read (the failed read is read again in halves).
        EXPECT_EQ(found.ranges.size(), 1u);
        const auto at = static_cast<std::int64_t>(row.options.badBlockAt);
        EXPECT_LE(offset, at);
        EXPECT_GT(offset + length, at);
        EXPECT_LE(length, finding == SHRED_FINDING_RANGE_WRONG ? 4096 : 16384);
    }
}
