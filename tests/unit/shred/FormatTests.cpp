#include "RealDisks.h"
#include "TestSupport.h"

#include "shred/FormatAndLabel.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <mutex>
#include <sys/stat.h>
#include <thread>

using namespace kestrune;

namespace {

// The percents a format reported.
struct Recorder {
    std::mutex mutex;
    std::vector<int> percents;
    std::function<void(int)> progress() {
        return [this](int percent) {
            std::lock_guard guard(mutex);
            percents.push_back(percent);
        };
    }
};

class FormatTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (kestrune::test::systemProgram("mkfs.fat").isEmpty())
            GTEST_SKIP() << "needs dosfstools";
        kestrune::test::messages().clear();
    }
    void TearDown() override {
        for (int32_t number : numbers_)
            kestrune_disk_number_release(number);
    }

    QString image(const char* name, qint64 size) {
        QString path = dir_.path() + "/" + name;
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(1 << 20, 'K')); // old data at the start
        EXPECT_TRUE(file.resize(size));
        return path;
    }
    int32_t number(const QString& path) {
        KestruneDiskIdentity id{};
        std::snprintf(id.path, sizeof id.path, "%s", path.toLocal8Bit().constData());
        struct stat st {};
        EXPECT_EQ(stat(id.path, &st), 0);
        id.devt = st.st_dev;
        id.diskseq = st.st_ino;
        id.simulated = 1;
        int32_t n = kestrune_disk_number_acquire(&id);
        EXPECT_GE(n, 0);
        numbers_.push_back(n);
        return n;
    }
    static QByteArray readAt(const QString& path, qint64 offset, qint64 length) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly) || !file.seek(offset))
            return {};
        return file.read(length);
    }
    static uint8_t partitionType(const QString& path) {
        return static_cast<uint8_t>(readAt(path, 446 + 4, 1).at(0));
    }
    static qint64 partitionStart(const QString& path) {
        QByteArray lba = readAt(path, 446 + 8, 4);
        return qint64(uint8_t(lba[0])) | qint64(uint8_t(lba[1])) << 8 |
               qint64(uint8_t(lba[2])) << 16 | qint64(uint8_t(lba[3])) << 24;
    }
    static QString probe(const QString& path, const char* tag) {
        QProcess blkid;
        blkid.start(kestrune::test::systemProgram("blkid"),
                    {"-p", "-O", QString::number(partitionStart(path) * 512), "-s", tag, "-o",
                     "value", path});
        blkid.waitForFinished();
        return QString::fromLocal8Bit(blkid.readAllStandardOutput()).trimmed();
    }
    // fsck.fat cannot start at an offset: check a copy of the partition.
    int fsck(const QString& path) {
        QString copy = path + ".part";
        QFile::remove(copy);
        QFile in(path), out(copy);
        if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly) ||
            !in.seek(partitionStart(path) * 512))
            return -1;
        while (!in.atEnd())
            out.write(in.read(4 << 20));
        out.close();
        int rc = QProcess::execute(kestrune::test::systemProgram("fsck.fat"), {"-n", copy});
        QFile::remove(copy);
        return rc;
    }

    QTemporaryDir dir_{QFileInfo::exists("/dev/shm") ? "/dev/shm/kestrune-XXXXXX" : QString()};
    std::vector<int32_t> numbers_;
};

} // namespace

TEST_F(FormatTest, SmallDiskGetsFat16LabelledShreddedWithProgress) {
    QString path = image("small.img", 64 << 20);
    int32_t n = number(path);
    Recorder recorder;
    QStringList hooks;
    platform::PartitioningHooks partitioning{[&](const QString& p) { hooks << "before " + p; },
                                             [&](const QString& p) { hooks << "after " + p; }};
    EXPECT_EQ(formatAndLabel(n, "Shredded", recorder.progress(), partitioning),
              FormatResult::Formatted);
    EXPECT_EQ(hooks, (QStringList{"before " + path, "after " + path}));
    EXPECT_EQ(partitionType(path), 0x0e);
    EXPECT_EQ(partitionStart(path), 2048);
    EXPECT_EQ(probe(path, "LABEL"), "SHREDDED");
    EXPECT_EQ(probe(path, "VERSION"), "FAT16");
    EXPECT_EQ(fsck(path), 0);
    EXPECT_EQ(QFileInfo(path).size(), 64 << 20);
    // The old data behind the partition table is gone.
    EXPECT_FALSE(readAt(path, 512, (1 << 20) - 512).contains(QByteArray(64, 'K')));
    EXPECT_TRUE(kestrune::test::messages().boxes().empty());

    // From its start to its end, never back.
    ASSERT_GE(recorder.percents.size(), 2u);
    EXPECT_EQ(recorder.percents.front(), 0);
    EXPECT_EQ(recorder.percents.back(), 100);
    for (size_t i = 1; i < recorder.percents.size(); ++i)
        EXPECT_GE(recorder.percents[i], recorder.percents[i - 1]);
}

TEST_F(FormatTest, LargeDiskGetsFat32AndTypeC) {
    QString path = image("large.img", 600ll << 20);
    EXPECT_EQ(formatAndLabel(number(path), "Shredded"), FormatResult::Formatted);
    EXPECT_EQ(partitionType(path), 0x0c);
    EXPECT_EQ(probe(path, "VERSION"), "FAT32");
    EXPECT_EQ(probe(path, "LABEL"), "SHREDDED");
    EXPECT_EQ(fsck(path), 0);
}

TEST_F(FormatTest, RefusedLabelShowsOneBoxAndStillCountsAsFormatted) {
    QString path = image("label.img", 32 << 20);
    EXPECT_EQ(formatAndLabel(number(path), "bad*label"), FormatResult::Formatted);
    auto boxes = kestrune::test::messages().boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Could not label volume.");
    EXPECT_EQ(boxes[0].caption, "Vaskor Kestrune");
    EXPECT_EQ(boxes[0].style, platform::MB_ICONERROR_STYLE);
    EXPECT_EQ(probe(path, "TYPE"), "vfat");
    EXPECT_EQ(probe(path, "LABEL"), "");
    EXPECT_EQ(fsck(path), 0);
}

TEST_F(FormatTest, UnknownOrChangedDiskFailsAndIsNotTouched) {
    Recorder recorder;
    EXPECT_EQ(formatAndLabel(31, "Shredded", recorder.progress()), FormatResult::Failed);
    EXPECT_TRUE(recorder.percents.empty());

    QString path = image("changed.img", 16 << 20);
    int32_t n = number(path);
    QString other = image("other.img", 16 << 20);
    ASSERT_TRUE(QFile::remove(path));
    ASSERT_TRUE(QFile::rename(other, path));
    EXPECT_EQ(formatAndLabel(n, "Shredded", recorder.progress()), FormatResult::Failed);
    EXPECT_EQ(readAt(path, 0, 1 << 20), QByteArray(1 << 20, 'K'));
    EXPECT_TRUE(recorder.percents.empty());
    EXPECT_TRUE(kestrune::test::messages().boxes().empty());
}

TEST_F(FormatTest, TwoFormatsInParallelKeepTheirOwnState) {
    QString first = image("one.img", 48 << 20);
    QString second = image("two.img", 40 << 20);
    int32_t a = number(first), b = number(second);
    Recorder ra, rb;
    FormatResult resultA = FormatResult::Failed, resultB = FormatResult::Failed;
    std::thread ta([&] { resultA = formatAndLabel(a, "Shredded", ra.progress()); });
    std::thread tb([&] { resultB = formatAndLabel(b, "Shredded", rb.progress()); });
    ta.join();
    tb.join();
    EXPECT_EQ(resultA, FormatResult::Formatted);
    EXPECT_EQ(resultB, FormatResult::Formatted);
    for (Recorder* recorder : {&ra, &rb}) {
        ASSERT_FALSE(recorder->percents.empty());
        EXPECT_EQ(recorder->percents.back(), 100);
    }
    EXPECT_EQ(probe(first, "LABEL"), "SHREDDED");
    EXPECT_EQ(probe(second, "LABEL"), "SHREDDED");
}
