// The window's whole flow under Wine on a simulated stick: the list, Start, the question,
// the passes and the read-back, the format, the report and the certificate. What only Linux
// tools can judge (fsck.fat, xmllint, pdftotext) is left in KESTRUNE_WINDOW_FLOW_OUT for the
// script that runs this program.
#include "controls/CListCtrlEx.h"
#include "devices/DeviceListModel.h"
#include "lang/LanguageManager.h"
#include "platform/MessageService.h"
#include "platform/Registry.h"
#include "shred/ShredJobs.h"
#include "ui/CVSKKestruneDlg.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>
#include <mutex>

namespace kestrune {
namespace {

// Answers every question Yes, as the user who pressed Start would, and keeps what was asked.
class AnsweringYes final : public platform::MessageService {
public:
    int show(const platform::MessageRequest& request) override {
        std::lock_guard guard(mutex_);
        texts_ << request.text;
        return (request.style & 0xF) == platform::MB_YESNO_STYLE ? platform::ID_YES
                                                                 : platform::ID_OK;
    }
    QStringList texts() const {
        std::lock_guard guard(mutex_);
        return texts_;
    }

private:
    mutable std::mutex mutex_;
    QStringList texts_;
};

const QString kCompanyKey = QStringLiteral("Software\\Vaskor Security");
const QString kProductKey = kCompanyKey + QStringLiteral("\\Vaskor Kestrune");

void writeText(platform::RegistryRoot root, const QString& key, const QString& name,
               const QString& text) {
    const QByteArray data(reinterpret_cast<const char*>(text.utf16()), (text.size() + 1) * 2);
    ASSERT_EQ(platform::registry().write(root, key, name, {platform::REG_SZ_TYPE, data}), 0);
}

void writeNumber(const QString& key, const QString& name, quint32 value) {
    const QByteArray data(reinterpret_cast<const char*>(&value), sizeof value);
    ASSERT_EQ(platform::registry().write(platform::RegistryRoot::CurrentUser, key, name,
                                         {platform::REG_DWORD_TYPE, data}),
              0);
}

quint32 le32(const QByteArray& bytes, int at) {
    quint32 value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

} // namespace

TEST(WindowFlow, StartShredsFormatsAndReportsASimulatedStick) {
    AnsweringYes answers;
    platform::setMessageService(&answers);
    QTemporaryDir disks, logs;
    qputenv("KESTRUNE_SIMULATED_DISKS", QDir::toNativeSeparators(disks.path()).toLocal8Bit());
    const QString programFolder = QDir::toNativeSeparators(QCoreApplication::applicationDirPath());
    for (const char* component : {"VSKLanguage.dll", "VSKRemovableShredder.dll"})
        writeText(platform::RegistryRoot::LocalMachine,
                  kCompanyKey + QStringLiteral("\\Paths\\DLLs"), QString::fromLatin1(component),
                  programFolder);
    writeText(platform::RegistryRoot::LocalMachine, kProductKey + QStringLiteral("\\Settings"),
              QStringLiteral("LogPath"), QDir::toNativeSeparators(logs.path()));
    writeNumber(kProductKey + QStringLiteral("\\Settings"), QStringLiteral("FormatDrive"), 1);
    writeNumber(kProductKey + QStringLiteral("\\Shredding"), QStringLiteral("ShredAlgo"), 101);

    const QString image = disks.filePath(QStringLiteral("stick.img"));
    {
        QFile file(image);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.resize(48 << 20));
        file.seek(24 << 20);
        file.write("secret customer data");
    }

    CVSKKestruneDlg window;
    ASSERT_TRUE(window.OnInitDialog());
    window.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.deviceList()->rowCount() == 1; }, 20000));
    window.deviceList()->viewport()->repaint();
    QCoreApplication::processEvents();
    QPushButton* start = window.deviceList()->startButtonOfRow(0);
    ASSERT_NE(start, nullptr);
    QTest::mouseClick(start, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.jobs().runningCount() == 1; }, 10000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.jobs().runningCount() == 0; }, 300000));
    QTest::qWait(200);

    const auto language = GetLanguageManager();
    EXPECT_EQ(window.listModel()->cellText(0, DeviceListModel::StatusColumn),
              language->GetString(QStringLiteral("status_shredded")));
    // The question named the disk; it was the only box.
    ASSERT_EQ(answers.texts().size(), 1)
        << answers.texts().join(QStringLiteral("\n--\n")).toStdString();
    EXPECT_TRUE(answers.texts()[0].contains(QDir::toNativeSeparators(image)) ||
                answers.texts()[0].contains(image))
        << answers.texts()[0].toStdString();

    QFile disk(image);
    ASSERT_TRUE(disk.open(QIODevice::ReadOnly));
    const QByteArray whole = disk.readAll();
    EXPECT_FALSE(whole.contains("secret customer data"));
    ASSERT_EQ(static_cast<unsigned char>(whole[510]), 0x55);
    ASSERT_EQ(static_cast<unsigned char>(whole[511]), 0xAA);
    const qint64 start0 = qint64(le32(whole, 446 + 8)) * 512;
    const qint64 length = qint64(le32(whole, 446 + 12)) * 512;
    ASSERT_GT(length, 0);
    ASSERT_LE(start0 + length, whole.size());

    const QDir reports(logs.path());
    const QStringList xml = reports.entryList({QStringLiteral("*.xml")});
    const QStringList pdf = reports.entryList({QStringLiteral("*.pdf")});
    ASSERT_EQ(xml.size(), 1);
    ASSERT_EQ(pdf.size(), 1);
    QFile report(reports.filePath(xml[0]));
    ASSERT_TRUE(report.open(QIODevice::ReadOnly));
    const QByteArray body = report.readAll();
    EXPECT_TRUE(body.contains("methodn=\"101\" iscleaned=\"1\" isformatted=\"1\"")) << body.data();
    EXPECT_TRUE(body.contains("<result status=\"400\""));

    const QString out = qEnvironmentVariable("KESTRUNE_WINDOW_FLOW_OUT");
    if (!out.isEmpty()) {
        QFile partition(QDir(out).filePath(QStringLiteral("partition.img")));
        ASSERT_TRUE(partition.open(QIODevice::WriteOnly));
        partition.write(whole.mid(start0, length));
        QFile::copy(reports.filePath(xml[0]), QDir(out).filePath(QStringLiteral("report.xml")));
        QFile::copy(reports.filePath(pdf[0]),
                    QDir(out).filePath(QStringLiteral("certificate.pdf")));
    }
}

} // namespace kestrune

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
