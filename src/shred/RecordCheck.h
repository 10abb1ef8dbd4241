#pragma once

#include <QString>
#include <vector>

namespace kestrune {

// One thing checked of a job's record, and what was found.
struct RecordCheck {
    bool holds = false;
    QString line;
};

// Checks a job's record from either of its documents (the certificate NAME.pdf or the report
// NAME.xml) with its partner beside it: that the certificate names the report's SHA-256, and
// every signature that is there (the certificate's own, the report's NAME.xml.p7s), saying
// who signed and when. Whether the signer is one to trust is the reader's call.
std::vector<RecordCheck> checkRecord(const QString& path);

} // namespace kestrune
