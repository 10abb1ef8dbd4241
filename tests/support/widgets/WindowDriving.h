// The main window driven as a user drives it: find a disk's row, press its Start button.
#pragma once

#include <QString>

class QPushButton;

namespace kestrune {
class CVSKKestruneDlg;
}

namespace kestrune::test {

// The row that shows the disk of this device path, or -1.
int rowOfDevice(const CVSKKestruneDlg& window, const QString& devicePath);
// The same, waiting up to the timeout for the row to appear.
int waitForRowOfDevice(const CVSKKestruneDlg& window, const QString& devicePath, int timeoutMs);
// The row's button, waiting for the list to create it; null when it never did.
QPushButton* waitForRowButton(CVSKKestruneDlg& window, int row);
// Clicks the row's button; false when the list never created it.
bool clickRowButton(CVSKKestruneDlg& window, int row);

} // namespace kestrune::test
