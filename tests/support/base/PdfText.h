// Reading a certificate as a person reads it: its text through pdftotext, its pages through
// pdfinfo.
#pragma once

#include <QString>

namespace kestrune::test {

// Why the PDF tools cannot be used here; empty when they can.
QString pdfToolsMissing();
// The text of a PDF laid out as on the page (pdftotext -layout); empty when unreadable.
QString pdfText(const QString& path);
// The page count pdfinfo reads; 0 when unreadable.
int pdfPages(const QString& path);

} // namespace kestrune::test

// Skips the test when pdftotext or pdfinfo is missing, saying so.
#define KESTRUNE_SKIP_WITHOUT_PDF_TOOLS()                                                          \
    do {                                                                                           \
        if (const QString missing = ::kestrune::test::pdfToolsMissing(); !missing.isEmpty())       \
            GTEST_SKIP() << missing.toStdString();                                                 \
    } while (false)
