// kestrune-cli list: exactly the disks of the window's own scan, with its numbers and texts,
// as a table or as JSON, on simulated and loop-backed disks; trace lines never mix in.
#include "CliTestSupport.h"

#include "devices/DeviceListModel.h"
#include "devices/DeviceTable.h"
#include "devices/ScanDevices.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <fcntl.h>
#include <unistd.h>

using namespace kestrune;
using namespace kestrune::test;

namespace {

class SilentNotifier final : public DeviceScanNotifier {
public:
    void deviceListEmpty() override {}
    void deviceListFilled() override {}
};

// What a terminal would act on, beyond the line feeds that end the program's lines.
const QRegularExpression kControls(QStringLiteral("[\\x00-\\x09\\x0b-\\x1f\\x7f-\\x9f]"));

QJsonArray disksOf(const CliResult& result) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(result.output.toUtf8(), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString() << "\n"
                                                     << result.output.toStdString();
    return document.object().value(QStringLiteral("disks")).toArray();
}

class CliList : public CliTest {
protected:
    // The window's scan in this process, on the same folder, compared field by field.
    void expectSameAsTheWindowsScan(const QJsonArray& listed) {
        ScopedEnvironment simulated("KESTRUNE_SIMULATED_DISKS", QFile::encodeName(disks.path()));
        DeviceTable table;
        DeviceListModel list;
        SilentNotifier notifier;
        scanDevices(table, list, notifier);
        ASSERT_EQ(listed.size(), list.rowCount());
        for (int row = 0; row < list.rowCount(); ++row) {
            const auto record = list.recordOfRow(row);
            const QJsonObject disk = listed[row].toObject();
            SCOPED_TRACE(record->devicePath.toStdString());
            EXPECT_EQ(disk[QStringLiteral("number")].toInteger(), record->deviceNumber);
            EXPECT_EQ(disk[QStringLiteral("path")].toString(), record->devicePath);
            EXPECT_EQ(disk[QStringLiteral("name")].toString(),
                      list.cellText(row, DeviceListModel::NameColumn));
            EXPECT_EQ(disk[QStringLiteral("device")].toString(),
                      list.cellText(row, DeviceListModel::DeviceColumn));
            EXPECT_EQ(disk[QStringLiteral("size")].toString(),
                      list.cellText(row, DeviceListModel::SizeColumn));
            EXPECT_EQ(disk[QStringLiteral("vendor")].toString(), record->vendorText);
            EXPECT_EQ(disk[QStringLiteral("product")].toString(), record->productText);
            EXPECT_EQ(disk[QStringLiteral("serial")].toString(), record->serialText);
            EXPECT_EQ(disk[QStringLiteral("bus")].toString(), record->busText);
            EXPECT_EQ(disk[QStringLiteral("sizeBytes")].toInteger(),
                      static_cast<qint64>(record->sizeBytes));
            EXPECT_EQ(disk[QStringLiteral("hasMedium")].toBool(), record->hasMedium.load());
            // The volumes one by one are what the name column joins.
            QStringList names;
            for (const QJsonValue& value : disk[QStringLiteral("volumes")].toArray()) {
                const QJsonObject volume = value.toObject();
                platform::VolumeInfo info;
                info.name = volume[QStringLiteral("name")].toString();
                info.label = volume[QStringLiteral("label")].toString();
                info.mountPoint = volume[QStringLiteral("mountPoint")].toString();
                names << volumeDisplayText(info);
            }
            EXPECT_EQ(names.join(QStringLiteral(", ")), record->displayName);
        }
    }
};

} // namespace

TEST_F(CliList, JsonHoldsTheWindowsDisksWithTheirNumbersTextsAndVolumes) {
    ASSERT_EQ(runProgram(QStringLiteral("mkfs.fat"),
                         {QStringLiteral("-C"), QStringLiteral("-n"), QStringLiteral("ALPHA"),
                          QDir(disks.path()).filePath(QStringLiteral("alpha.img")),
                          QStringLiteral("16384")}),
              0);
    makeImage(QStringLiteral("beta.img"), 8 << 20);
    makeImage(QStringLiteral("reader.img"), 0); // a card reader without a card

    const CliResult result = run({QStringLiteral("list"), QStringLiteral("--json")});
    ASSERT_EQ(result.exitCode, 0) << result.errors.toStdString();
    const QJsonArray listed = disksOf(result);
    ASSERT_EQ(listed.size(), 3);
    expectSameAsTheWindowsScan(listed);

    QJsonObject alpha;
    for (const QJsonValue& disk : listed)
        if (disk.toObject()[QStringLiteral("serial")] == QStringLiteral("alpha"))
            alpha = disk.toObject();
    const QJsonArray volumes = alpha[QStringLiteral("volumes")].toArray();
    ASSERT_EQ(volumes.size(), 1);
    EXPECT_EQ(volumes[0].toObject()[QStringLiteral("label")].toString(), "ALPHA");
    EXPECT_EQ(volumes[0].toObject()[QStringLiteral("type")].toString(), "vfat");
    EXPECT_EQ(alpha[QStringLiteral("size")].toString(), "16.00 MB");
    EXPECT_TRUE(alpha[QStringLiteral("simulated")].toBool());
    EXPECT_EQ(
        alpha[QStringLiteral("image")].toString(),
        QFileInfo(QDir(disks.path()).filePath(QStringLiteral("alpha.img"))).canonicalFilePath());
}

TEST_F(CliList, TheTableShowsOneLinePerDiskUnderItsHeadings) {
    const QString image = makeImage(QStringLiteral("stick.img"), 8 << 20);
    makeImage(QStringLiteral("reader.img"), 0);

    const CliResult result = run({QStringLiteral("list")});
    ASSERT_EQ(result.exitCode, 0) << result.errors.toStdString();
    EXPECT_EQ(result.errors, QString());
    const QStringList lines = result.output.split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3) << result.output.toStdString();
    for (const char* heading :
         {"cli_column_disk", "column_device", "cli_column_serial", "column_size", "column_name"})
        EXPECT_TRUE(lines[0].contains(text(heading))) << heading;
    const QString stick = lines[1].contains(QStringLiteral("stick.img")) ? lines[1] : lines[2];
    const QString reader = lines[1].contains(QStringLiteral("stick.img")) ? lines[2] : lines[1];
    // What the disk column says is what shred takes.
    EXPECT_TRUE(stick.startsWith(QDir(disks.path()).filePath(QStringLiteral("stick.img"))))
        << stick.toStdString();
    EXPECT_TRUE(stick.contains(QStringLiteral("Kestrune Virtual Stick  stick  ")))
        << stick.toStdString();
    EXPECT_TRUE(stick.contains(QStringLiteral("8.00 MB"))) << stick.toStdString();
    EXPECT_TRUE(reader.contains(text("N/A"))) << reader.toStdString();
    EXPECT_TRUE(holdsSecret(image)) << "listing writes nothing";
}

TEST_F(CliList, ControlCharactersOfAFileNameNeverReachTheTerminal) {
    // Set the title, clear the screen, DEL, a C1 CSI and a byte that is no UTF-8.
    const QByteArray name = "stick\x1b]0;owned\x07\x1b[2J\x7f\xc2\x9b\xff.img";
    const QByteArray native = QFile::encodeName(disks.path()) + '/' + name;
    const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 4 << 20), 0);
    ::close(fd);

    const CliResult table = run({QStringLiteral("list")});
    ASSERT_EQ(table.exitCode, 0) << table.errors.toStdString();
    EXPECT_FALSE((table.output + table.errors).contains(kControls));
    EXPECT_TRUE(
        table.output.contains(QStringLiteral("stick\\x1b]0;owned\\x07\\x1b[2J\\x7f\\u009b")))
        << table.output.toStdString();

    const CliResult json = run({QStringLiteral("list"), QStringLiteral("--json")});
    ASSERT_EQ(json.exitCode, 0) << json.errors.toStdString();
    EXPECT_FALSE((json.output + json.errors).contains(kControls));
    const QJsonArray listed = disksOf(json);
    ASSERT_EQ(listed.size(), 1);
    EXPECT_EQ(listed[0].toObject()[QStringLiteral("path")].toString(), QString::fromUtf8(native))
        << "the document keeps the name, escaped by its own rules";
}

TEST_F(CliList, NoDiskIsAnEmptyListNotAFailure) {
    const CliResult json = run({QStringLiteral("list"), QStringLiteral("--json")});
    EXPECT_EQ(json.exitCode, 0) << json.errors.toStdString();
    EXPECT_TRUE(disksOf(json).isEmpty());

    const CliResult table = run({QStringLiteral("list")});
    EXPECT_EQ(table.exitCode, 0);
    EXPECT_EQ(table.output, QString());
    EXPECT_EQ(table.errors.trimmed(), text("cli_no_disks"));
}

TEST_F(CliList, TraceLinesGoToStandardErrorOnlyWhenAskedFor) {
    makeImage(QStringLiteral("stick.img"), 4 << 20);
    const CliResult quiet = run({QStringLiteral("list"), QStringLiteral("--json")});
    EXPECT_EQ(disksOf(quiet).size(), 1);
    EXPECT_FALSE(quiet.errors.contains(QStringLiteral("VSKGetCurrentLanguage")))
        << quiet.errors.toStdString();

    const CliResult traced =
        run({QStringLiteral("list"), QStringLiteral("--json"), QStringLiteral("--trace")});
    EXPECT_EQ(disksOf(traced).size(), 1) << "the document stays whole";
    EXPECT_TRUE(traced.errors.contains(QStringLiteral("VSKGetCurrentLanguage: ")))
        << traced.errors.toStdString();
}

TEST_F(CliList, LoopBackedDisksAreListedAsTheirBlockDevicesOnlyWithSimulatedDisks) {
    if (const QString reason = loopDevicesUnavailable(); !reason.isEmpty())
        GTEST_SKIP() << reason.toStdString();
    const QString image = makeImage(QStringLiteral("photos.img"), 16 << 20);
    ASSERT_TRUE(makeExt4(image, QStringLiteral("PHOTOS")));
    loops.push_back(std::make_unique<LoopDisk>(image));
    const LoopDisk& disk = *loops.back();
    ASSERT_TRUE(disk.attached());
    makeImage(QStringLiteral("plain.img"), 8 << 20);

    const CliResult result = run({QStringLiteral("list"), QStringLiteral("--json")});
    ASSERT_EQ(result.exitCode, 0) << result.errors.toStdString();
    const QJsonArray listed = disksOf(result);
    ASSERT_EQ(listed.size(), 2);
    expectSameAsTheWindowsScan(listed);
    QJsonObject loop;
    for (const QJsonValue& value : listed)
        if (value.toObject()[QStringLiteral("path")] == disk.device())
            loop = value.toObject();
    ASSERT_FALSE(loop.isEmpty()) << result.output.toStdString();
    EXPECT_EQ(loop[QStringLiteral("serial")].toString(), "photos");
    EXPECT_FALSE(loop[QStringLiteral("simulated")].toBool());
    EXPECT_EQ(loop[QStringLiteral("image")].toString(), QFileInfo(image).canonicalFilePath());
    const QJsonArray volumes = loop[QStringLiteral("volumes")].toArray();
    ASSERT_EQ(volumes.size(), 1);
    EXPECT_EQ(volumes[0].toObject()[QStringLiteral("label")].toString(), "PHOTOS");
    EXPECT_EQ(volumes[0].toObject()[QStringLiteral("device")].toString(), disk.device());

    // The system's own disks instead: a loop device is never one of them.
    QProcess process;
    QProcessEnvironment real = environment();
    real.remove(QStringLiteral("KESTRUNE_SIMULATED_DISKS"));
    process.setProcessEnvironment(real);
    process.start(cli(), {QStringLiteral("list"), QStringLiteral("--json")});
    ASSERT_TRUE(process.waitForFinished(60000));
    EXPECT_EQ(process.exitCode(), 0);
    const QString output = QString::fromUtf8(process.readAllStandardOutput());
    EXPECT_FALSE(output.contains(disk.device() + u'"')) << output.toStdString();
}
