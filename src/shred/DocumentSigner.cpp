#include "shred/DocumentSigner.h"

#include "platform/HttpPost.h"
#include "platform/SigningFiles.h"

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ts.h>
#include <openssl/x509.h>

#include <algorithm>
#include <ctime>

namespace kestrune {
namespace {

template <typename T, void (*Free)(T*)> struct Deleter {
    void operator()(T* p) const { Free(p); }
};
template <typename T, void (*Free)(T*)> using Owned = std::unique_ptr<T, Deleter<T, Free>>;
using Bio = Owned<BIO, BIO_free_all>;
using Cms = Owned<CMS_ContentInfo, CMS_ContentInfo_free>;
using TsReq = Owned<TS_REQ, TS_REQ_free>;
using TsResp = Owned<TS_RESP, TS_RESP_free>;
using TsInfo = Owned<TS_TST_INFO, TS_TST_INFO_free>;
using Pkcs7 = Owned<PKCS7, PKCS7_free>;
using Cert = Owned<X509, X509_free>;

void freeChain(STACK_OF(X509) * chain) {
    sk_X509_pop_free(chain, X509_free);
}

// The library's last reason, for a message.
QString sslReason() {
    const unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    if (!code)
        return QStringLiteral("no reason given");
    char text[256] = {};
    ERR_error_string_n(code, text, sizeof text);
    const char* reason = ERR_reason_error_string(code);
    return QString::fromLatin1(reason ? reason : text);
}

Bio memoryOf(const QByteArray& bytes) {
    return Bio(BIO_new_mem_buf(bytes.constData(), static_cast<int>(bytes.size())));
}

// A key that asks for a pass phrase cannot be used by a job nobody attends.
int noPassphrase(char*, int, int, void*) {
    return 0;
}

QString commonName(X509* certificate) {
    const X509_NAME* subject = X509_get_subject_name(certificate);
    const int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    if (index >= 0) {
        unsigned char* utf8 = nullptr;
        const int length = ASN1_STRING_to_UTF8(
            &utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index)));
        if (length >= 0) {
            const QString name = QString::fromUtf8(reinterpret_cast<char*>(utf8), length);
            OPENSSL_free(utf8);
            return name;
        }
    }
    char* line = X509_NAME_oneline(subject, nullptr, 0);
    const QString name = QString::fromUtf8(line ? line : "");
    OPENSSL_free(line);
    return name;
}

QString timeText(const ASN1_TIME* time) {
    std::tm at{};
    if (!time || !ASN1_TIME_to_tm(time, &at))
        return {};
    char text[32] = {};
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &at);
    return QString::fromLatin1(text);
}

QByteArray signatureDigest(CMS_SignerInfo* signer, const EVP_MD* digest) {
    const ASN1_OCTET_STRING* value = CMS_SignerInfo_get0_signature(signer);
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!value || !EVP_Digest(ASN1_STRING_get0_data(value), ASN1_STRING_length(value), out, &length,
                              digest, nullptr))
        return {};
    return QByteArray(reinterpret_cast<const char*>(out), static_cast<qsizetype>(length));
}

// An RFC 3161 token over the signature's value, checked against the request; empty and why
// not in *problem.
QByteArray timestampToken(CMS_SignerInfo* signer, const QString& url, QString* problem) {
    const QByteArray digest = signatureDigest(signer, EVP_sha256());
    TsReq request(TS_REQ_new());
    TS_MSG_IMPRINT* imprint = TS_MSG_IMPRINT_new();
    X509_ALGOR* algorithm = X509_ALGOR_new();
    ASN1_INTEGER* nonce = ASN1_INTEGER_new();
    std::uint64_t nonceValue = 0;
    bool made = request && imprint && algorithm && nonce && !digest.isEmpty() &&
                RAND_bytes(reinterpret_cast<unsigned char*>(&nonceValue), sizeof nonceValue) == 1;
    if (made)
        made = X509_ALGOR_set0(algorithm, OBJ_nid2obj(NID_sha256), V_ASN1_NULL, nullptr) &&
               TS_MSG_IMPRINT_set_algo(imprint, algorithm) &&
               TS_MSG_IMPRINT_set_msg(
                   imprint, reinterpret_cast<unsigned char*>(const_cast<char*>(digest.constData())),
                   static_cast<int>(digest.size())) &&
               TS_REQ_set_version(request.get(), 1) &&
               TS_REQ_set_msg_imprint(request.get(), imprint) &&
               ASN1_INTEGER_set_uint64(nonce, nonceValue >> 1) &&
               TS_REQ_set_nonce(request.get(), nonce) && TS_REQ_set_cert_req(request.get(), 1);
    TS_MSG_IMPRINT_free(imprint);
    X509_ALGOR_free(algorithm);
    ASN1_INTEGER_free(nonce);
    unsigned char* encoded = nullptr;
    const int encodedLength = made ? i2d_TS_REQ(request.get(), &encoded) : -1;
    if (encodedLength <= 0) {
        *problem = QStringLiteral("no time-stamp request could be made: %1").arg(sslReason());
        return {};
    }
    const QByteArray query(reinterpret_cast<char*>(encoded), encodedLength);
    OPENSSL_free(encoded);
    QString failure;
    const QByteArray reply = platform::PostHttp(url, "application/timestamp-query", query,
                                                "application/timestamp-reply", &failure);
    if (reply.isEmpty()) {
        *problem = QStringLiteral("the time-stamp service %1").arg(failure);
        return {};
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(reply.constData());
    TsResp response(d2i_TS_RESP(nullptr, &bytes, static_cast<long>(reply.size())));
    TS_VERIFY_CTX* check = response ? TS_REQ_to_TS_VERIFY_CTX(request.get(), nullptr) : nullptr;
    const bool holds = check && TS_RESP_verify_response(check, response.get()) == 1;
    TS_VERIFY_CTX_free(check);
    if (!holds) {
        *problem = QStringLiteral("the time-stamp service %1 gave no time stamp for this "
                                  "signature: %2")
                       .arg(url, response ? sslReason() : QStringLiteral("an unreadable answer"));
        return {};
    }
    unsigned char* token = nullptr;
    const int tokenLength = i2d_PKCS7(TS_RESP_get_token(response.get()), &token);
    if (tokenLength <= 0) {
        *problem = QStringLiteral("the time stamp could not be kept: %1").arg(sslReason());
        return {};
    }
    const QByteArray kept(reinterpret_cast<char*>(token), tokenLength);
    OPENSSL_free(token);
    return kept;
}

// The time of a time stamp, when it is sound and stamps this signature; else why not.
QString timestampFindings(CMS_SignerInfo* signer, X509_ATTRIBUTE* attribute, QString* problem) {
    const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attribute, 0);
    if (!value || value->type != V_ASN1_SEQUENCE) {
        *problem = QStringLiteral("the time stamp is not a token");
        return {};
    }
    const unsigned char* bytes = value->value.sequence->data;
    Pkcs7 token(d2i_PKCS7(nullptr, &bytes, value->value.sequence->length));
    Bio ignored(BIO_new(BIO_s_null()));
    if (!token ||
        PKCS7_verify(token.get(), nullptr, nullptr, nullptr, ignored.get(), PKCS7_NOVERIFY) != 1) {
        *problem =
            QStringLiteral("the time stamp's own signature does not hold: %1").arg(sslReason());
        return {};
    }
    TsInfo info(PKCS7_to_TS_TST_INFO(token.get()));
    if (!info) {
        *problem = QStringLiteral("the time stamp holds no time");
        return {};
    }
    TS_MSG_IMPRINT* imprint = TS_TST_INFO_get_msg_imprint(info.get());
    const ASN1_OBJECT* algorithm = nullptr;
    X509_ALGOR_get0(&algorithm, nullptr, nullptr, TS_MSG_IMPRINT_get_algo(imprint));
    const EVP_MD* digest = EVP_get_digestbynid(OBJ_obj2nid(algorithm));
    const ASN1_OCTET_STRING* stamped = TS_MSG_IMPRINT_get_msg(imprint);
    const QByteArray expected = digest ? signatureDigest(signer, digest) : QByteArray();
    if (expected.isEmpty() ||
        expected != QByteArray(reinterpret_cast<const char*>(ASN1_STRING_get0_data(stamped)),
                               ASN1_STRING_length(stamped))) {
        *problem = QStringLiteral("the time stamp is of another signature");
        return {};
    }
    return timeText(TS_TST_INFO_get_time(info.get()));
}

} // namespace

struct DocumentSigner::Keys {
    Cert certificate;
    Owned<EVP_PKEY, EVP_PKEY_free> key;
    Owned<STACK_OF(X509), freeChain> chain;
};

DocumentSigner::DocumentSigner(std::unique_ptr<Keys> keys, QString timestampUrl)
    : keys_(std::move(keys)), timestampUrl_(std::move(timestampUrl)),
      signerName_(commonName(keys_->certificate.get())) {}

DocumentSigner::~DocumentSigner() = default;

std::shared_ptr<const DocumentSigner> DocumentSigner::load(const SigningSettings& settings,
                                                           QString* problem) {
    auto fail = [problem](const QString& why) {
        *problem = why;
        return std::shared_ptr<const DocumentSigner>();
    };
    const platform::SigningFileRead certificateFile =
        platform::ReadSigningFile(settings.certificateFile, platform::SigningFile::Certificate);
    if (!certificateFile.problem.isEmpty())
        return fail(certificateFile.problem);
    const platform::SigningFileRead keyFile =
        platform::ReadSigningFile(settings.keyFile, platform::SigningFile::Key);
    if (!keyFile.problem.isEmpty())
        return fail(keyFile.problem);
    if (!settings.timestampUrl.isEmpty() &&
        !settings.timestampUrl.startsWith(QLatin1String("https://")) &&
        !settings.timestampUrl.startsWith(QLatin1String("http://")))
        return fail(QStringLiteral("the time-stamp address %1 is not an http or https address")
                        .arg(settings.timestampUrl));

    auto keys = std::make_unique<Keys>();
    Bio certificates = memoryOf(certificateFile.bytes);
    keys->certificate.reset(PEM_read_bio_X509(certificates.get(), nullptr, noPassphrase, nullptr));
    if (!keys->certificate)
        return fail(QStringLiteral("the signing certificate file %1 holds no PEM certificate")
                        .arg(settings.certificateFile));
    keys->chain.reset(sk_X509_new_null());
    while (X509* next = PEM_read_bio_X509(certificates.get(), nullptr, noPassphrase, nullptr))
        sk_X509_push(keys->chain.get(), next);
    ERR_clear_error();
    Bio key = memoryOf(keyFile.bytes);
    keys->key.reset(PEM_read_bio_PrivateKey(key.get(), nullptr, noPassphrase, nullptr));
    if (!keys->key)
        return fail(QStringLiteral("the signing key file %1 holds no unencrypted PEM private "
                                   "key: %2")
                        .arg(settings.keyFile, sslReason()));
    if (X509_check_private_key(keys->certificate.get(), keys->key.get()) != 1) {
        ERR_clear_error();
        return fail(QStringLiteral("the signing key in %1 is not the key of the certificate in %2")
                        .arg(settings.keyFile, settings.certificateFile));
    }
    if (X509_cmp_current_time(X509_get0_notAfter(keys->certificate.get())) < 0 ||
        X509_cmp_current_time(X509_get0_notBefore(keys->certificate.get())) > 0)
        return fail(QStringLiteral("the signing certificate in %1 is not valid now (valid from "
                                   "%2 to %3)")
                        .arg(settings.certificateFile,
                             timeText(X509_get0_notBefore(keys->certificate.get())),
                             timeText(X509_get0_notAfter(keys->certificate.get()))));
    return std::shared_ptr<const DocumentSigner>(
        new DocumentSigner(std::move(keys), settings.timestampUrl));
}

QByteArray DocumentSigner::sign(const QByteArray& data, QString* failure,
                                QString* timestampProblem) const {
    Bio content = memoryOf(data);
    Cms cms(CMS_sign(keys_->certificate.get(), keys_->key.get(), keys_->chain.get(), content.get(),
                     CMS_DETACHED | CMS_BINARY));
    if (!cms) {
        *failure = QStringLiteral("the signature could not be made: %1").arg(sslReason());
        return {};
    }
    if (!timestampUrl_.isEmpty()) {
        CMS_SignerInfo* signer = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0);
        const QByteArray token = timestampToken(signer, timestampUrl_, timestampProblem);
        if (!token.isEmpty() &&
            !CMS_unsigned_add1_attr_by_NID(signer, NID_id_smime_aa_timeStampToken, V_ASN1_SEQUENCE,
                                           token.constData(), static_cast<int>(token.size())))
            *timestampProblem =
                QStringLiteral("the time stamp could not be added: %1").arg(sslReason());
    }
    unsigned char* encoded = nullptr;
    const int length = i2d_CMS_ContentInfo(cms.get(), &encoded);
    if (length <= 0) {
        *failure = QStringLiteral("the signature could not be encoded: %1").arg(sslReason());
        return {};
    }
    const QByteArray signature(reinterpret_cast<char*>(encoded), length);
    OPENSSL_free(encoded);
    return signature;
}

SignatureFindings checkDetachedSignature(const QByteArray& signature, const QByteArray& data) {
    SignatureFindings findings;
    const auto* bytes = reinterpret_cast<const unsigned char*>(signature.constData());
    Cms cms(d2i_CMS_ContentInfo(nullptr, &bytes, static_cast<long>(signature.size())));
    if (!cms || OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed) {
        ERR_clear_error();
        findings.problem = QStringLiteral("it holds no CMS signature");
        return findings;
    }
    // Only the zeros of the room it was written into may follow it.
    const auto* end =
        reinterpret_cast<const unsigned char*>(signature.constData()) + signature.size();
    if (std::any_of(bytes, end, [](unsigned char byte) { return byte != 0; })) {
        findings.problem = QStringLiteral("bytes were added after its signature");
        return findings;
    }
    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms.get());
    if (sk_CMS_SignerInfo_num(signers) != 1) {
        findings.problem =
            QStringLiteral("it holds %1 signers, not one").arg(sk_CMS_SignerInfo_num(signers));
        return findings;
    }
    Bio content = memoryOf(data);
    // The certificate travels with the signature; whose it is, the reader judges.
    if (CMS_verify(cms.get(), nullptr, nullptr, content.get(), nullptr,
                   CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) != 1) {
        findings.problem =
            QStringLiteral("the signature does not match what it signs (%1)").arg(sslReason());
        return findings;
    }
    STACK_OF(X509)* certificates = CMS_get0_signers(cms.get());
    if (sk_X509_num(certificates) > 0)
        findings.signer = commonName(sk_X509_value(certificates, 0));
    sk_X509_free(certificates);
    CMS_SignerInfo* signer = sk_CMS_SignerInfo_value(signers, 0);
    const int timeIndex = CMS_signed_get_attr_by_NID(signer, NID_pkcs9_signingTime, -1);
    if (timeIndex >= 0) {
        const ASN1_TYPE* value =
            X509_ATTRIBUTE_get0_type(CMS_signed_get_attr(signer, timeIndex), 0);
        if (value && (value->type == V_ASN1_UTCTIME || value->type == V_ASN1_GENERALIZEDTIME))
            findings.signingTime = timeText(value->value.utctime);
    }
    const int stampIndex = CMS_unsigned_get_attr_by_NID(signer, NID_id_smime_aa_timeStampToken, -1);
    if (stampIndex >= 0)
        findings.timestampTime = timestampFindings(
            signer, CMS_unsigned_get_attr(signer, stampIndex), &findings.timestampProblem);
    findings.valid = findings.timestampProblem.isEmpty();
    if (!findings.valid)
        findings.problem = findings.timestampProblem;
    return findings;
}

} // namespace kestrune
