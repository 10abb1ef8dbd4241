// The window without a mouse: Tab and Space, a visible focus, and what assistive technology
// is told about each row.
#include "LanguageChoice.h"
#include "TestSupport.h"
#include "WindowDriving.h"
#include "controls/CListCtrlEx.h"
#include "controls/CVSKImageButton.h"
#include "devices/DeviceListModel.h"
#include "lang/LanguageManager.h"
#include "shred/ShredJobs.h"
#include "ui/CVSKKestruneDlg.h"

#include <QAccessible>
#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>
#include <vector>

using namespace kestrune;
using platform::RegistryRoot;

namespace {

class KeyboardTest : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        ASSERT_TRUE(disks.isValid());
        qputenv("KESTRUNE_SIMULATED_DISKS", disks.path().toLocal8Bit());
        for (const char* component : {"VSKLanguage.dll", "VSKUpdate.dll"})
            test::registerComponentDirectory(QString::fromLatin1(component), test::binDir());
        test::chooseLanguage(QString::fromLatin1(GetParam()));
        test::messages().clear();
        for (const auto& [name, size] :
             {std::pair{"a.img", 4 << 20}, std::pair{"b.img", 6 << 20}}) {
            QFile file(disks.filePath(QString::fromLatin1(name)));
            ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.resize(size));
        }
        window = std::make_unique<CVSKKestruneDlg>();
        ASSERT_TRUE(window->OnInitDialog());
        window->show();
        QApplication::setActiveWindow(window.get());
        // Under a bare X server no window manager hands out the focus; only the
        // announcement test runs there, and it needs none.
        if (QGuiApplication::platformName() == QLatin1String("offscreen"))
            ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
        else
            ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        ASSERT_TRUE(QTest::qWaitFor([&] { return window->deviceList()->rowCount() == 2; }, 10000));
        for (int row = 0; row < 2; ++row)
            ASSERT_NE(test::waitForRowButton(*window, row), nullptr);
    }
    void TearDown() override {
        QAccessible::setActive(false);
        window.reset();
        qunsetenv("KESTRUNE_SIMULATED_DISKS");
    }

    QPushButton* rowButton(int row) const { return window->deviceList()->startButtonOfRow(row); }
    static QString text(const char* key) {
        return GetLanguageManager()->GetString(QString::fromLatin1(key));
    }
    static QString fill(const char* key, const QString& disk) {
        return text(key).replace(QStringLiteral("%s"), disk);
    }
    QString diskOfRow(int row) const {
        return window->listModel()->cellText(row, DeviceListModel::DeviceColumn) +
               QStringLiteral(", ") +
               window->listModel()->cellText(row, DeviceListModel::SizeColumn);
    }
    static QString accessibleName(QObject* object) {
        QAccessibleInterface* face = QAccessible::queryAccessibleInterface(object);
        return face ? face->text(QAccessible::Name) : QString();
    }
    QAccessibleInterface* statusCell(int row) const {
        QAccessibleInterface* list = QAccessible::queryAccessibleInterface(window->deviceList());
        return list && list->tableInterface()
                   ? list->tableInterface()->cellAt(row, DeviceListModel::StatusColumn)
                   : nullptr;
    }
    QString statusName(const QString& disk, const char* statusKey) const {
        return text("access_status")
            .replace(QStringLiteral("%s: %s"), disk + QStringLiteral(": ") + text(statusKey));
    }
    void showJobRunning(const DeviceRecord& record) {
        DeviceListModel& list = *window->listModel();
        list.SetStartButtonText(record.deviceNumber, text("status_abort"));
        list.setCellText(1, DeviceListModel::StatusColumn, text("status_processing"));
        list.SetRowProgress(1, 40);
        list.DisableStartButton(record.deviceNumber);
        QCoreApplication::processEvents();
    }
    void showJobEnded(const DeviceRecord& record) {
        DeviceListModel& list = *window->listModel();
        list.setCellText(1, DeviceListModel::StatusColumn, text("status_shredded"));
        list.SetStartButtonText(record.deviceNumber, text("status_start"));
        list.EnableStartButton(record.deviceNumber);
        QCoreApplication::processEvents();
    }
    static QImage look(QWidget* widget) {
        QCoreApplication::processEvents();
        return widget->grab().toImage();
    }

    test::ScopedRegistry registry;
    QTemporaryDir disks;
    std::unique_ptr<CVSKKestruneDlg> window;
};

INSTANTIATE_TEST_SUITE_P(Languages, KeyboardTest, ::testing::Values("NTV", "DE"),
                         [](const auto& param) { return std::string(param.param); });

} // namespace

TEST_P(KeyboardTest, TabGoesThroughTheRowsInOrderThenTheBottomStrip) {
    ASSERT_TRUE(window->updateButton()->isEnabled());
    window->deviceList()->setFocus();
    ASSERT_EQ(QApplication::focusWidget(), window->deviceList());
    const std::vector<QWidget*> expected{
        rowButton(0),          rowButton(1),           window->settingsButton(),
        window->aboutButton(), window->updateButton(), window->deviceList()};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), expected[i]) << "Tab " << i + 1;
    }
    // Shift+Tab walks back.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
    EXPECT_EQ(QApplication::focusWidget(), window->updateButton());
}

TEST_P(KeyboardTest, SpacePressesTheFocusedRowsButton) {
    window->deviceList()->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), rowButton(1));
    test::messages().queueAnswer(platform::ID_NO);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    ASSERT_EQ(test::messages().texts().size(), 1u);
    EXPECT_TRUE(
        test::messages().texts()[0].contains(window->listModel()->recordOfRow(1)->devicePath));
    EXPECT_EQ(window->jobs().runningCount(), 0);
}

TEST_P(KeyboardTest, TheFocusedButtonLooksDifferent) {
    for (QWidget* button : std::vector<QWidget*>{rowButton(0), window->aboutButton()}) {
        window->deviceList()->setFocus();
        const QImage before = look(button);
        button->setFocus(Qt::TabFocusReason);
        ASSERT_TRUE(button->hasFocus());
        EXPECT_NE(look(button), before) << button->metaObject()->className();
    }
}

TEST_P(KeyboardTest, EachRowsControlsNameTheirDisk) {
    QAccessible::setActive(true);
    for (int row = 0; row < 2; ++row) {
        const QString disk = diskOfRow(row);
        EXPECT_TRUE(disk.contains(QStringLiteral("Kestrune Virtual Stick, ")));
        EXPECT_EQ(accessibleName(rowButton(row)), fill("access_start", disk));
        QProgressBar* bar = window->deviceList()->progressBarOfRow(row);
        ASSERT_NE(bar, nullptr);
        EXPECT_EQ(accessibleName(bar), fill("access_progress", disk));
        QAccessibleInterface* cell = statusCell(row);
        ASSERT_NE(cell, nullptr);
        EXPECT_TRUE(cell->text(QAccessible::Name).contains(disk));
    }
    EXPECT_NE(diskOfRow(0), diskOfRow(1));
    if (QString::fromLatin1(GetParam()) == QLatin1String("NTV")) {
        EXPECT_EQ(accessibleName(rowButton(0)),
                  QStringLiteral("Start erasing Kestrune Virtual Stick, 4.00 MB"));
    }
}

// What the status display does while a job runs, as assistive technology reads it.
TEST_P(KeyboardTest, TheNamesFollowAJobsProgress) {
    const auto record = window->listModel()->recordOfRow(1);
    const QString disk = diskOfRow(1);
    showJobRunning(*record);
    EXPECT_EQ(accessibleName(rowButton(1)), fill("access_abort", disk));
    EXPECT_EQ(accessibleName(rowButton(0)), fill("access_start", diskOfRow(0)));
    EXPECT_EQ(statusCell(1)->text(QAccessible::Name), statusName(disk, "status_processing"));
    QAccessibleInterface* bar =
        QAccessible::queryAccessibleInterface(window->deviceList()->progressBarOfRow(1));
    ASSERT_TRUE(bar && bar->valueInterface());
    EXPECT_EQ(bar->valueInterface()->currentValue().toInt(), 40);
    EXPECT_TRUE(bar->state().disabled == false);
    EXPECT_TRUE(QAccessible::queryAccessibleInterface(rowButton(1))->state().disabled);

    showJobEnded(*record);
    EXPECT_EQ(accessibleName(rowButton(1)), fill("access_start", disk));
    EXPECT_EQ(statusCell(1)->text(QAccessible::Name), statusName(disk, "status_shredded"));
}

// The rows' controls are where review and object navigation look for them: in their
// row's cells of the list's table. Two sticks alike are told apart by their device.
TEST_P(KeyboardTest, EachRowsControlsSitInTheirCellsAndAlikeDisksAreToldApart) {
    QAccessibleInterface* list = QAccessible::queryAccessibleInterface(window->deviceList());
    ASSERT_TRUE(list && list->tableInterface());
    for (int row = 0; row < 2; ++row) {
        const std::pair<QWidget*, int> controls[] = {
            {rowButton(row), DeviceListModel::StartColumn},
            {window->deviceList()->progressBarOfRow(row), DeviceListModel::ProgressColumn}};
        for (const auto& [control, column] : controls) {
            QAccessibleInterface* cell = list->tableInterface()->cellAt(row, column);
            ASSERT_TRUE(cell && control);
            ASSERT_EQ(cell->childCount(), 1);
            EXPECT_EQ(cell->child(0)->object(), control);
            EXPECT_EQ(QAccessible::queryAccessibleInterface(control)->parent(), cell);
            EXPECT_EQ(list->child(list->indexOfChild(cell)), cell);
            EXPECT_EQ(cell->parent(), list);
        }
    }
    QFile twin(disks.filePath(QStringLiteral("c.img")));
    ASSERT_TRUE(twin.open(QIODevice::WriteOnly) && twin.resize(4 << 20));
    twin.close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->deviceList()->rowCount() == 3; }, 10000));
    ASSERT_NE(test::waitForRowButton(*window, 2), nullptr);
    // Rows go by device number, whatever the files are called: each says its own.
    for (int row = 0; row < 3; ++row) {
        const QString file =
            QFileInfo(
                window->listModel()->diskOfRecord(window->listModel()->recordOfRow(row).get()).path)
                .fileName();
        const QString told =
            file == QLatin1String("b.img") ? QString() : QStringLiteral(", ") + file;
        EXPECT_EQ(accessibleName(rowButton(row)), fill("access_start", diskOfRow(row) + told));
    }
}

// What a screen reader receives on the accessibility bus while a job runs and ends: each new
// status once, as a notification naming the disk, the focused button's new name once, the
// controls inside their table cells, and nothing about the other row.
TEST_P(KeyboardTest, AJobsChangesAreAnnounced) {
    if (QGuiApplication::platformName() == QLatin1String("offscreen"))
        GTEST_SKIP() << "the offscreen Qt platform has no accessibility bridge; "
                        "KeyboardAnnouncements runs this test on Xvfb with the desktop's "
                        "accessibility bus";
    QAccessible::setActive(true);
    // The bridge comes up once it has reached the accessibility bus.
    ASSERT_TRUE(QTest::qWaitFor([] { return QAccessible::isActive(); }, 10000))
        << "no accessibility bridge on the Qt platform "
        << QGuiApplication::platformName().toStdString();
    QTemporaryDir heardDir;
    const QString heardFile = heardDir.filePath(QStringLiteral("heard.jsonl"));
    QProcess listener;
    listener.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    listener.start(test::sourceDir() + QStringLiteral("/tests/tools/atspi-listen"),
                   {QString::number(QCoreApplication::applicationPid()), heardFile});
    const auto heard = [&heardFile] {
        QFile file(heardFile);
        QList<QJsonObject> events;
        if (file.open(QIODevice::ReadOnly))
            for (const QByteArray& line : file.readAll().split('\n'))
                if (line.startsWith('{'))
                    events << QJsonDocument::fromJson(line).object();
        return events;
    };
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            QFile file(heardFile);
            return file.open(QIODevice::ReadOnly) && file.readLine().startsWith("ready");
        },
        20000))
        << "the AT-SPI listener (python3-pyatspi) did not start";

    const auto record = window->listModel()->recordOfRow(1);
    const QString disk = diskOfRow(1);
    const QString ended = statusName(disk, "status_shredded");
    const auto notifications = [&] {
        QStringList said;
        for (const QJsonObject& event : heard())
            if (event[QLatin1String("type")].toString() ==
                    QLatin1String("object:state-changed:showing") &&
                event[QLatin1String("detail1")].toInt() == 1 &&
                event[QLatin1String("role")].toString() == QLatin1String("notification"))
                said << event[QLatin1String("name")].toString();
        return said;
    };
    // A reader asks for a name when it hears of the change; a user hears one status before
    // the next comes.
    showJobRunning(*record);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return notifications().contains(statusName(disk, "status_processing")); }, 20000));
    showJobEnded(*record);
    EXPECT_TRUE(QTest::qWaitFor([&] { return notifications().contains(ended); }, 20000));
    // The button's new name is an event of its own, which may come after the notification.
    const auto buttonNamed = [&](const QString& name) {
        for (const QJsonObject& event : heard())
            if (event[QLatin1String("type")].toString() ==
                    QLatin1String("object:property-change:accessible-name") &&
                event[QLatin1String("name")].toString() == name)
                return true;
        return false;
    };
    EXPECT_TRUE(QTest::qWaitFor([&] { return buttonNamed(fill("access_start", disk)); }, 20000));
    listener.terminate();
    listener.waitForFinished(5000);
    if (HasFailure()) {
        QFile file(heardFile);
        file.open(QIODevice::ReadOnly);
        std::printf("%s\n", file.readAll().constData());
    }

    EXPECT_EQ(notifications(), QStringList({statusName(disk, "status_processing"), ended}));
    QStringList buttonNames;
    bool progressHeardInItsCell = false;
    for (const QJsonObject& event : heard()) {
        const QString type = event[QLatin1String("type")].toString();
        const QString role = event[QLatin1String("role")].toString();
        const QJsonObject parent = event[QLatin1String("parent")].toObject();
        EXPECT_FALSE(event[QLatin1String("name")].toString().contains(diskOfRow(0)))
            << "the other row: " << type.toStdString();
        if (role == QLatin1String("push button") &&
            type == QLatin1String("object:property-change:accessible-name")) {
            buttonNames << event[QLatin1String("name")].toString();
            EXPECT_EQ(parent[QLatin1String("role")].toString(), QStringLiteral("table cell"));
        }
        if (role == QLatin1String("progress bar") &&
            type == QLatin1String("object:property-change:accessible-value"))
            progressHeardInItsCell =
                event[QLatin1String("name")].toString() == fill("access_progress", disk) &&
                parent[QLatin1String("role")].toString() == QLatin1String("table cell");
    }
    EXPECT_EQ(buttonNames, QStringList({fill("access_abort", disk), fill("access_start", disk)}));
    EXPECT_TRUE(progressHeardInItsCell);
}
