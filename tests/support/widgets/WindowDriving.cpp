#include "WindowDriving.h"

#include "controls/CListCtrlEx.h"
#include "devices/DeviceListModel.h"
#include "ui/CVSKKestruneDlg.h"

#include <QCoreApplication>
#include <QPushButton>
#include <QTest>

namespace kestrune::test {

int rowOfDevice(const CVSKKestruneDlg& window, const QString& devicePath) {
    const auto& model = *window.listModel();
    for (int row = 0; row < model.rowCount(); ++row) {
        const auto record = model.recordOfRow(row);
        if (record && record->devicePath == devicePath)
            return row;
    }
    return -1;
}

int waitForRowOfDevice(const CVSKKestruneDlg& window, const QString& devicePath, int timeoutMs) {
    int found = -1;
    (void)QTest::qWaitFor(
        [&] {
            found = rowOfDevice(window, devicePath);
            return found >= 0;
        },
        timeoutMs);
    return found;
}

QPushButton* waitForRowButton(CVSKKestruneDlg& window, int row) {
    // The list creates a row's button when it lays the row out after a paint.
    QPushButton* button = nullptr;
    (void)QTest::qWaitFor(
        [&] {
            QCoreApplication::processEvents();
            window.deviceList()->viewport()->repaint();
            QCoreApplication::processEvents();
            button = window.deviceList()->startButtonOfRow(row);
            return button != nullptr;
        },
        5000);
    return button;
}

bool clickRowButton(CVSKKestruneDlg& window, int row) {
    QPushButton* button = waitForRowButton(window, row);
    if (!button)
        return false;
    QTest::mouseClick(button, Qt::LeftButton);
    return true;
}

} // namespace kestrune::test
