// What the snapshots show of a job's documents: the row that offers them, a signed
// certificate and the certificate of a job whose program died.
#pragma once

#include <QImage>
#include <QString>

namespace kestrune {
class CVSKKestruneDlg;
}

namespace kestrune::snapshots {

// The window with the documents menu of a finished row open over it, as a person sees them
// together; a null image when the menu did not open.
QImage windowWithRowMenu(CVSKKestruneDlg& window, int row);

// The machine's signing key for every certificate from now on; empty texts: none.
void setSigning(const QString& certificateFile, const QString& keyFile);

// Leaves the record of a job on a stick whose program died in the second of three passes,
// then starts as the program does: the record is completed as interrupted, with its
// certificate. False when nothing was completed.
bool leaveAndCompleteInterruptedJob();

} // namespace kestrune::snapshots
