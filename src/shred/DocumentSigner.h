#pragma once

#include <QByteArray>
#include <QString>
#include <memory>

namespace kestrune {

// Where the signing certificate, its key and the time-stamp service are named; all empty:
// documents are not signed.
struct SigningSettings {
    QString certificateFile; // PEM: the signer's certificate, then any of its chain
    QString keyFile;         // PEM private key, unencrypted
    QString timestampUrl;    // RFC 3161 service over http(s); empty: none
    bool configured() const { return !certificateFile.isEmpty() || !keyFile.isEmpty(); }
};

// Signs documents with one certificate and key: CMS signatures detached from their data
// (SHA-256, with the signing time and the signer's certificate), with an RFC 3161 time stamp
// of the signature where a service is named.
class DocumentSigner {
public:
    // Nothing, and why not in *problem, when the files cannot be used or do not belong
    // together.
    static std::shared_ptr<const DocumentSigner> load(const SigningSettings& settings,
                                                      QString* problem);
    ~DocumentSigner();
    DocumentSigner(const DocumentSigner&) = delete;
    DocumentSigner& operator=(const DocumentSigner&) = delete;

    // The common name of the certificate's subject (else its whole subject).
    QString signerName() const { return signerName_; }
    // The DER signature; empty, and why in *failure, when none could be made. A time stamp
    // that could not be had leaves the signature without one, and why in *timestampProblem.
    QByteArray sign(const QByteArray& data, QString* failure, QString* timestampProblem) const;

private:
    struct Keys;
    explicit DocumentSigner(std::unique_ptr<Keys> keys, QString timestampUrl);
    std::unique_ptr<Keys> keys_;
    QString timestampUrl_;
    QString signerName_;
};

// What a detached signature says of its data.
struct SignatureFindings {
    bool valid = false;
    QString problem;          // why it does not hold
    QString signer;           // the common name of the signer's certificate
    QString signingTime;      // as signed, UTC; empty: none given
    QString timestampTime;    // of a time stamp that matches the signature; empty: none
    QString timestampProblem; // a time stamp that is there but does not hold
};
// Checks the signature against the data with the certificate it carries; whether that
// certificate is one to trust is the reader's call.
SignatureFindings checkDetachedSignature(const QByteArray& signature, const QByteArray& data);

} // namespace kestrune
