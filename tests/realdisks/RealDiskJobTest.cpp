// Whole jobs from the window on loop devices: every algorithm with and without formatting,
// a mounted disk, the same disk twice, a disk large enough for FAT32.
#include "RealDiskWindow.h"

#include <set>

using namespace kestrune;
using namespace kestrune::test;

namespace {

struct JobCase {
    int algorithm;
    bool format;
    qint64 size;
};

std::string jobCaseName(const ::testing::TestParamInfo<JobCase>& info) {
    return "Algorithm" + std::to_string(info.param.algorithm) +
           (info.param.format ? "Formatted" : "Unformatted") +
           std::to_string(info.param.size >> 20) + "MiB";
}

// What the last pass left: zeros for the zero pass, random data for the others.
void expectLastPass(const QString& image, int algorithm, qint64 from, qint64 to) {
    const QByteArray data = readBytes(image, from, to - from);
    ASSERT_EQ(data.size(), to - from);
    if (algorithm == 100) {
        EXPECT_EQ(data.count('\0'), data.size());
    } else {
        std::set<char> seen(data.begin(), data.end());
        EXPECT_EQ(seen.size(), 256u);
        EXPECT_LT(data.count('\0'), data.size() / 100);
    }
}

class LoopDiskJob : public RealDiskWindowTest, public ::testing::WithParamInterface<JobCase> {};

} // namespace

TEST_P(LoopDiskJob, ShredsVerifiesAndFormatsTheBlockDevice) {
    const JobCase job = GetParam();
    setAlgorithm(job.algorithm);
    setFormat(job.format);
    LoopDisk& disk = makeLoopDisk("stick.img", job.size);
    const QString image = disks.filePath(QStringLiteral("stick.img"));
    openWindow();
    start(disk.device());
    ASSERT_TRUE(waitUntilNoJobRuns());

    EXPECT_EQ(status(disk.device()), text("status_shredded"));
    const int row = rowOf(disk.device());
    ASSERT_GE(row, 0);
    EXPECT_EQ(window->listModel()->rowProgress(row), 100);
    EXPECT_EQ(window->deviceList()->startButtonOfRow(row)->text(), text("status_start"));
    EXPECT_TRUE(window->deviceList()->startButtonOfRow(row)->isEnabled());
    EXPECT_FALSE(holdsSecret(image));

    if (job.format) {
        const auto partition = firstPartition(image);
        ASSERT_TRUE(partition.has_value());
        EXPECT_EQ(partition->label, "dos");
        EXPECT_EQ(partition->type, job.size < (512 << 20) ? 0x0e : 0x0c);
        EXPECT_EQ(partition->start, 1 << 20);
        EXPECT_EQ(partition->start + partition->size, job.size);
        const FileSystemCheck fat = checkFileSystemAt(image, partition->start, partition->size);
        EXPECT_EQ(fat.fsck, 0);
        EXPECT_EQ(fat.type, "vfat");
        EXPECT_EQ(fat.version, job.size < (512 << 20) ? "FAT16" : "FAT32");
        EXPECT_EQ(fat.label, "SHREDDED");
        // The list reads the disk afresh once the job has ended: it shows the new volume.
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                return window->listModel()
                    ->cellText(rowOf(disk.device()), DeviceListModel::NameColumn)
                    .startsWith(QStringLiteral("SHREDDED ("));
            },
            5000));
        // Between the table and the partition, only zeros remain.
        EXPECT_EQ(readBytes(image, 512, partition->start - 512),
                  QByteArray(partition->start - 512, '\0'));
    } else {
        EXPECT_FALSE(firstPartition(image).has_value());
        expectLastPass(image, job.algorithm, 0, job.size);
    }

    const QStringList written = reports();
    ASSERT_EQ(written.size(), 1);
    EXPECT_TRUE(wellFormed(written[0]));
    const QString body = readText(written[0]);
    EXPECT_TRUE(body.contains(QStringLiteral("methodn=\"%1\" iscleaned=\"1\" isformatted=\"%2\"")
                                  .arg(job.algorithm)
                                  .arg(job.format ? 1 : 0)))
        << body.toStdString();
    EXPECT_TRUE(body.contains(QStringLiteral("<result status=\"%1\"").arg(job.format ? 400 : 200)));
    EXPECT_TRUE(messages().texts().empty());
}

INSTANTIATE_TEST_SUITE_P(
    RealDisks, LoopDiskJob,
    ::testing::Values(JobCase{100, true, 16 << 20}, JobCase{100, false, 12 << 20},
                      JobCase{101, true, 24 << 20}, JobCase{101, false, 16 << 20},
                      JobCase{102, true, 32 << 20}, JobCase{102, false, 8 << 20},
                      JobCase{103, true, 16 << 20}, JobCase{103, false, 8 << 20},
                      JobCase{100, true, 600 << 20}),
    jobCaseName);

using LoopDiskSession = RealDiskWindowTest;

TEST_F(LoopDiskSession, AMountedFileSystemIsUnmountedThenShredded) {
    if (!kernelHasFileSystem("ext4"))
        GTEST_SKIP() << "this kernel cannot mount ext4";
    // Whatever fails, the mount ends with the test.
    if (const QString reason = enterPrivateMountNamespace(); !reason.isEmpty())
        GTEST_SKIP() << reason.toStdString();
    const QString image = makeImage("mounted.img", 16 << 20);
    ASSERT_TRUE(makeExt4(image, QStringLiteral("PHOTOS")));
    loops.push_back(std::make_unique<LoopDisk>(image));
    LoopDisk& disk = *loops.back();
    ASSERT_TRUE(disk.attached());
    QTemporaryDir mountPoint;
    ScopedMount mounted(disk.device(), mountPoint.path());
    ASSERT_TRUE(mounted.mounted());
    QFile data(mountPoint.filePath(QStringLiteral("holiday.txt")));
    ASSERT_TRUE(data.open(QIODevice::WriteOnly));
    data.write(kSecret);
    data.close();
    ::sync();

    setAlgorithm(100);
    setFormat(false);
    openWindow();
    const int row = waitForRowOf(disk.device());
    ASSERT_GE(row, 0);
    // The name column reads like a stick's: its label and where it is mounted.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return window->listModel()->cellText(rowOf(disk.device()),
                                                 DeviceListModel::NameColumn) ==
                   QStringLiteral("PHOTOS (%1)").arg(mountPoint.path());
        },
        5000))
        << window->listModel()->cellText(row, DeviceListModel::NameColumn).toStdString();
    start(disk.device());
    ASSERT_TRUE(waitUntilNoJobRuns());
    EXPECT_EQ(status(disk.device()), text("status_shredded"));
    EXPECT_FALSE(holdsSecret(image));
    EXPECT_EQ(readBytes(image, 0, 16 << 20).count('\0'), 16 << 20);
}

TEST_F(LoopDiskSession, TheSameDiskShredsAndFormatsTwiceInOneSession) {
    setAlgorithm(101);
    setFormat(true);
    LoopDisk& disk = makeLoopDisk("twice.img", 16 << 20);
    openWindow();
    for (int round = 0; round < 2; ++round) {
        start(disk.device());
        ASSERT_TRUE(waitUntilNoJobRuns());
        EXPECT_EQ(status(disk.device()), text("status_shredded")) << "round " << round;
    }
    const QStringList written = reports();
    ASSERT_EQ(written.size(), 2);
    for (const QString& report : written)
        EXPECT_TRUE(readText(report).contains(QStringLiteral("<result status=\"400\"")));
    const QString image = disks.filePath(QStringLiteral("twice.img"));
    const auto partition = firstPartition(image);
    ASSERT_TRUE(partition.has_value());
    EXPECT_EQ(checkFileSystemAt(image, partition->start, partition->size).label, "SHREDDED");
}
