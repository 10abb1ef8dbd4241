#pragma once

#include <QByteArray>
#include <QString>

namespace kestrune {

class DocumentSigner;

// A rectangle on the page in PDF points, from the page's lower left corner.
struct PdfBox {
    double left = 0, bottom = 0, right = 0, top = 0;
};

// The PDF with a signature of the whole file appended as an incremental update: a signature
// field whose widget shows the signer in the box, and a CMS signature detached from the
// byte ranges it covers (adbe.pkcs7.detached). Empty, and why in *failure, when it could not
// be made; a time stamp that could not be had is said in *timestampProblem.
QByteArray signPdf(const QByteArray& pdf, const PdfBox& box, const DocumentSigner& signer,
                   QString* failure, QString* timestampProblem);

// The last signature of a PDF and the bytes it covers.
struct PdfSignatureParts {
    bool present = false;
    QByteArray signedBytes;
    QByteArray signature; // DER, with the zeros that fill its room
    QString problem;      // a signature is there but cannot be taken apart, or leaves bytes out
};
PdfSignatureParts pdfSignatureParts(const QByteArray& pdf);

} // namespace kestrune
