// Start in the window asks before it erases: which disk, how, and No unless told otherwise.
#include "LanguageChoice.h"
#include "RealDisks.h"
#include "TestSupport.h"
#include "WindowDriving.h"
#include "controls/CListCtrlEx.h"
#include "devices/DeviceListModel.h"
#include "devices/DeviceTable.h"
#include "lang/LanguageManager.h"
#include "shred/ShredJobs.h"
#include "ui/CVSKKestruneDlg.h"
#include "ui/WidgetMessageService.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

using namespace kestrune;
using platform::RegistryRoot;

namespace {

const QByteArray kOldData("old data nobody may lose by a misclick");

QString fileText(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

class StartQuestionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(disks.isValid() && logs.isValid());
        qputenv("KESTRUNE_SIMULATED_DISKS", disks.path().toLocal8Bit());
        test::registerComponentDirectory(QStringLiteral("VSKLanguage.dll"), test::binDir());
        test::registerComponentDirectory(QStringLiteral("VSKRemovableShredder.dll"),
                                         test::binDir());
        test::writeRegistryString(RegistryRoot::LocalMachine, test::productKey("\\Settings"),
                                  QStringLiteral("LogPath"), logs.path());
        test::messages().clear();
        first = makeDisk("first-stick.img", 4 << 20);
        second = makeDisk("second-stick.img", 6 << 20);
    }
    void TearDown() override {
        if (window) {
            window->jobs().waitForAll(20000);
            window.reset();
        }
        qunsetenv("KESTRUNE_SIMULATED_DISKS");
    }

    QString makeDisk(const char* name, qint64 size) {
        const QString path = disks.filePath(QString::fromLatin1(name));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.resize(size));
        file.seek(size / 2);
        file.write(kOldData);
        return path;
    }
    static bool holdsOldData(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) && file.readAll().contains(kOldData);
    }
    void openWindow() {
        window = std::make_unique<CVSKKestruneDlg>();
        ASSERT_TRUE(window->OnInitDialog());
        window->show();
        ASSERT_TRUE(QTest::qWaitFor([&] { return window->deviceList()->rowCount() == 2; }, 10000));
    }
    int rowOf(const QString& path) const { return test::rowOfDevice(*window, path); }
    void pressStart(const QString& path) {
        const int row = rowOf(path);
        ASSERT_GE(row, 0) << path.toStdString();
        ASSERT_TRUE(test::clickRowButton(*window, row));
    }
    // Nothing started and nothing written on either disk.
    void expectNothingStarted() {
        EXPECT_EQ(window->jobs().runningCount(), 0);
        for (const QString& path : {first, second}) {
            EXPECT_TRUE(holdsOldData(path)) << path.toStdString();
            const int row = rowOf(path);
            ASSERT_GE(row, 0);
            EXPECT_EQ(window->listModel()->recordOfRow(row)->state(), JobState::Idle);
            EXPECT_TRUE(
                window->listModel()->cellText(row, DeviceListModel::StatusColumn).isEmpty());
        }
        EXPECT_TRUE(QDir(logs.path()).isEmpty());
    }
    void setMachine(const char* name, std::uint32_t value) {
        test::writeRegistryDword(RegistryRoot::LocalMachine, test::productKey("\\Settings"),
                                 QString::fromLatin1(name), value);
    }
    static QString text(const char* key) {
        return GetLanguageManager()->GetString(QString::fromLatin1(key));
    }

    test::ScopedRegistry registry;
    QTemporaryDir disks;
    QTemporaryDir logs;
    QString first;
    QString second;
    std::unique_ptr<CVSKKestruneDlg> window;
};

} // namespace

TEST_F(StartQuestionTest, NamesTheDiskOfTheRowPressedAndNoKeepsIt) {
    openWindow();
    for (const QString& pressed : {second, first}) {
        test::messages().clear();
        test::messages().queueAnswer(platform::ID_NO);
        pressStart(pressed);
        const auto boxes = test::messages().boxes();
        ASSERT_EQ(boxes.size(), 1u);
        const platform::MessageRequest& box = boxes[0];
        EXPECT_EQ(box.style, platform::MB_YESNO_STYLE | platform::MB_ICONQUESTION_STYLE |
                                 platform::MB_DEFBUTTON2_STYLE);
        EXPECT_EQ(box.owner, window.get());
        const QString other = pressed == first ? second : first;
        const int row = rowOf(pressed);
        EXPECT_TRUE(box.text.contains(pressed)) << box.text.toStdString();
        EXPECT_FALSE(box.text.contains(other)) << box.text.toStdString();
        // The size and the device as the row shows them, and the method by its name.
        EXPECT_TRUE(
            box.text.contains(window->listModel()->cellText(row, DeviceListModel::SizeColumn)));
        EXPECT_TRUE(box.text.contains(pressed == first ? QStringLiteral("4.00 MB")
                                                       : QStringLiteral("6.00 MB")));
        EXPECT_TRUE(
            box.text.contains(window->listModel()->cellText(row, DeviceListModel::DeviceColumn)));
        EXPECT_TRUE(box.text.contains(text("shred_algo_short_100")));
        EXPECT_FALSE(box.text.contains(text("info_format_auto")));
        expectNothingStarted();
    }
}

TEST_F(StartQuestionTest, TheQuestionNamesTheMethodAndTheFormatInGerman) {
    test::chooseLanguage(QStringLiteral("DE"));
    test::writeRegistryDword(RegistryRoot::CurrentUser, test::productKey("\\Shredding"),
                             QStringLiteral("ShredAlgo"), 103);
    test::writeRegistryDword(RegistryRoot::CurrentUser, test::productKey("\\Settings"),
                             QStringLiteral("FormatDrive"), 1);
    openWindow();
    test::messages().queueAnswer(platform::ID_NO);
    pressStart(first);
    ASSERT_EQ(test::messages().texts().size(), 1u);
    const QString question = test::messages().texts()[0];
    EXPECT_TRUE(question.contains(QStringLiteral("Gutmann (35 Durchgänge)")))
        << question.toStdString();
    EXPECT_TRUE(question.contains(text("info_format_auto")));
    EXPECT_TRUE(question.startsWith(QStringLiteral("Diesen Datenträger löschen?")));
    expectNothingStarted();
}

// The question as the user sees it: a real message box, answered from the keyboard.
TEST_F(StartQuestionTest, EnterAndEscapeOnTheQuestionKeepTheDisk) {
    openWindow();
    // The window's own boxes, driven by keys.
    WidgetMessageService boxes;
    platform::setMessageService(&boxes);
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Escape, Qt::Key_Enter}) {
        bool answered = false;
        bool noWasDefault = false;
        QString shown;
        QTimer poll;
        poll.setInterval(20);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (answered || !box)
                return;
            answered = true;
            noWasDefault = box->defaultButton() == box->button(QMessageBox::No);
            shown = box->text();
            QTest::keyClick(box, key);
        });
        poll.start();
        pressStart(second);
        poll.stop();
        EXPECT_TRUE(answered) << key;
        EXPECT_TRUE(noWasDefault) << key;
        EXPECT_TRUE(shown.contains(second)) << key;
        expectNothingStarted();
    }
    platform::setMessageService(&test::messages());
}

TEST_F(StartQuestionTest, YesErasesTheDiskOfTheRowOnly) {
    openWindow();
    test::messages().queueAnswer(platform::ID_YES);
    pressStart(second);
    EXPECT_EQ(test::messages().boxes().size(), 1u);
    ASSERT_TRUE(window->jobs().waitForAll(20000));
    EXPECT_FALSE(holdsOldData(second));
    EXPECT_TRUE(holdsOldData(first));
    EXPECT_FALSE(QDir(logs.path()).isEmpty());
}

TEST_F(StartQuestionTest, AnErasedRowOffersItsCertificateAndItsFolderFromTheKeyboard) {
    // The desktop's opener stands in: it notes what it was asked to open.
    QTemporaryDir tools;
    const QString opened = tools.filePath(QStringLiteral("opened"));
    QFile opener(tools.filePath(QStringLiteral("xdg-open")));
    ASSERT_TRUE(opener.open(QIODevice::WriteOnly));
    opener.write("#!/bin/sh\necho \"$1\" >> \"$0\"-asked\n");
    opener.close();
    opener.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QFile::link(opener.fileName() + "-asked", opened);
    test::ScopedEnvironment path("PATH", QFile::encodeName(tools.path()) + ":" + qgetenv("PATH"));
    openWindow();
    const auto menuOf = [&](const QString& disk) {
        QPushButton* button = test::waitForRowButton(*window, rowOf(disk));
        button->setFocus();
        QTest::keyClick(button, Qt::Key_Menu);
        return qobject_cast<QMenu*>(QApplication::activePopupWidget());
    };
    QMenu* menu = menuOf(first);
    ASSERT_NE(menu, nullptr);
    ASSERT_EQ(menu->actions().size(), 2);
    EXPECT_EQ(menu->actions()[0]->text(), text("open_certificate"));
    EXPECT_EQ(menu->actions()[1]->text(), text("open_folder"));
    EXPECT_FALSE(menu->actions()[0]->isEnabled()) << "no job has written one yet";
    menu->close();

    test::messages().queueAnswer(platform::ID_YES);
    pressStart(first);
    ASSERT_TRUE(window->jobs().waitForAll(20000));
    menu = menuOf(first);
    ASSERT_NE(menu, nullptr);
    for (QAction* action : menu->actions()) {
        EXPECT_TRUE(action->isEnabled());
        action->trigger();
    }
    const QString certificate = QDir(logs.path()).entryInfoList({"*.pdf"}).value(0).filePath();
    ASSERT_FALSE(certificate.isEmpty());
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return fileText(opened) == certificate + "\n" + logs.path() + "\n"; }, 10000))
        << fileText(opened).toStdString();
}

TEST_F(StartQuestionTest, TheMachineValueStartsWithoutAsking) {
    // The user's own hive cannot switch the question off.
    test::writeRegistryDword(RegistryRoot::CurrentUser, test::productKey("\\Settings"),
                             QStringLiteral("NoStartQuestion"), 1);
    setMachine("NoStartQuestion", 2);
    openWindow();
    test::messages().queueAnswer(platform::ID_NO);
    pressStart(first);
    EXPECT_EQ(test::messages().boxes().size(), 1u);
    expectNothingStarted();

    setMachine("NoStartQuestion", 1);
    test::messages().clear();
    pressStart(first);
    EXPECT_TRUE(test::messages().boxes().empty());
    ASSERT_TRUE(window->jobs().waitForAll(20000));
    EXPECT_FALSE(holdsOldData(first));
    EXPECT_TRUE(holdsOldData(second));
}
