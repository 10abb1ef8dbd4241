#pragma once

#include "shred/ErasureCertificate.h"

#include <QString>
#include <vector>

namespace kestrune {

// A label and its value across the page, or two pairs side by side; a row without a label
// is a note in small type.
struct Row {
    QString label;
    QString value;
    bool monospace = false;
    QString label2;
    QString value2;
};

inline Row pair(const QString& label, const QString& value, const QString& label2,
                const QString& value2) {
    return Row{label, value, false, label2, value2};
}

struct Section {
    QString heading;
    std::vector<Row> rows;
};

// The page's words, in the order they are drawn.
struct Page {
    QString company;
    QString program;
    QString title;
    QString summary;
    bool certified = false;
    std::vector<Section> sections;
    QString signatures;
    QString operatorLabel;
    QString witnessLabel;
    QString verifierLabel;
    QString dateLabel;
    QString unsignedNote;
    QString footer;
};

// The words of a job's certificate page in the language's current texts.
Page certificatePage(const CertificateFacts& facts, const LanguageManager& language);

} // namespace kestrune
