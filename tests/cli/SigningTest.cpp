// Signed records with a throwaway CA: the tools auditors use accept the signatures until one
// byte changes, and a key that others can read is never used.
#include "CliTestSupport.h"
#include "PdfText.h"
#include "TestSupport.h"
#include "cli/ExitCodes.h"
#include "shred/ErasureCertificate.h"

#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>

namespace kestrune::test {
namespace {

// Answers RFC 3161 requests with `openssl ts -reply`, on loopback; prints its port.
const char* const kTimestampServer = R"(
import http.server, subprocess, sys, tempfile, os
config = sys.argv[1]
class Answer(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers['Content-Length']))
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, 'q')
            open(path, 'wb').write(query)
            subprocess.run(['openssl', 'ts', '-reply', '-config', config, '-queryfile', path,
                            '-out', path + '.r'], check=True, capture_output=True)
            reply = open(path + '.r', 'rb').read()
        self.send_response(200)
        self.send_header('Content-Type', 'application/timestamp-reply')
        self.send_header('Content-Length', str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(('127.0.0.1', 0), Answer)
print(server.server_port, flush=True)
server.serve_forever()
)";

class CliSigning : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        if (QStandardPaths::findExecutable(QStringLiteral("pdfsig")).isEmpty())
            GTEST_SKIP() << "pdfsig (poppler-utils) is not installed";
        ASSERT_TRUE(keys.isValid());
        const QString ca = QStringLiteral("-CA=%1").arg(file("ca.pem"));
        for (const QStringList& step :
             {QStringList{"-subj", "/CN=Throwaway CA", "-keyout", file("ca.key"), "-out",
                          file("ca.pem"), "-addext", "basicConstraints=critical,CA:TRUE"},
              QStringList{"-subj", "/CN=Test Signer", "-keyout", file("signer.key"), "-out",
                          file("signer.pem"), "-CA", file("ca.pem"), "-CAkey", file("ca.key")},
              QStringList{"-subj", "/CN=Test TSA", "-keyout", file("tsa.key"), "-out",
                          file("tsa.pem"), "-CA", file("ca.pem"), "-CAkey", file("ca.key"),
                          "-addext", "extendedKeyUsage=critical,timeStamping"}})
            ASSERT_EQ(runProgram(QStringLiteral("openssl"),
                                 QStringList{"req", "-x509", "-newkey", "ec", "-pkeyopt",
                                             "ec_paramgen_curve:P-256", "-nodes", "-days", "2"} +
                                     step),
                      0);
        QFile::setPermissions(file("signer.key"), QFile::ReadOwner | QFile::ReadGroup);
        sign("CertificateFile", file("signer.pem"));
        sign("KeyFile", file("signer.key"));
    }
    void TearDown() override {
        if (server) {
            server->kill();
            server->waitForFinished();
        }
        CliTest::TearDown();
    }

    QString file(const char* name) const { return keys.filePath(QString::fromLatin1(name)); }
    void sign(const char* name, const QString& value) const {
        writeRegistryString(platform::RegistryRoot::LocalMachine, productKey("\\Settings\\Signing"),
                            QString::fromLatin1(name), value);
    }
    // One job; its report.
    QString shred(int exitCode = 0) {
        const QString image = makeImage(QStringLiteral("stick.img"), 4 << 20);
        last = run({QStringLiteral("shred"), QStringLiteral("--yes"), QStringLiteral("--no-format"),
                    QStringLiteral("--algorithm"), QStringLiteral("100"), image});
        EXPECT_EQ(last.exitCode, exitCode)
            << last.output.toStdString() << last.errors.toStdString();
        return reports().value(0);
    }
    static QString pdfsig(const QString& pdf) {
        QByteArray output;
        runProgram(QStringLiteral("pdfsig"), {pdf}, &output);
        return QString::fromUtf8(output);
    }

    QTemporaryDir keys;
    CliResult last;
    std::unique_ptr<QProcess> server;
};

QByteArray fileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void putFileBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(bytes), bytes.size());
}

TEST_F(CliSigning, BothDocumentsAreSignedUntilOneOfTheirBytesChanges) {
    const QString report = shred();
    ASSERT_FALSE(report.isEmpty());
    const QString certificate = certificatePathFor(report);
    const QString signatures = pdfsig(certificate);
    EXPECT_TRUE(signatures.contains(QLatin1String("Signature is Valid")))
        << signatures.toStdString();
    EXPECT_TRUE(signatures.contains(QLatin1String("Test Signer"))) << signatures.toStdString();
    EXPECT_EQ(runProgram(QStringLiteral("openssl"),
                         {"cms", "-verify", "-binary", "-inform", "DER", "-in", report + ".p7s",
                          "-content", report, "-CAfile", file("ca.pem"), "-purpose", "any", "-out",
                          "/dev/null"}),
              0);
    EXPECT_TRUE(readText(report).contains(
        QLatin1String("<signing status=\"signed\" signer=\"Test Signer\"")));
    CliResult verify = run({QStringLiteral("verify"), certificate});
    EXPECT_EQ(verify.exitCode, 0) << verify.output.toStdString() << verify.errors.toStdString();
    EXPECT_EQ(verify.output.count(QRegularExpression(QStringLiteral("^holds: "),
                                                     QRegularExpression::MultilineOption)),
              3)
        << verify.output.toStdString();
    EXPECT_EQ(verify.output.count(QLatin1String("signed by Test Signer at ")), 2);

    // Each file changed, the other left as it was; verify names the changed one. A byte in
    // the signature's unused room and an update appended after signing count as changes too.
    const qsizetype room = fileBytes(certificate).lastIndexOf("000000>");
    const struct {
        QString path;
        const char* name;
        qsizetype offset; // -1: bytes appended
    } changes[] = {{certificate, "certificate", 100},
                   {certificate, "certificate", room},
                   {certificate, "certificate", -1},
                   {report, "report", 100}};
    for (const auto& change : changes) {
        const QByteArray original = fileBytes(change.path);
        QByteArray changed = original;
        if (change.offset < 0)
            changed += "% appended\n";
        else
            changed[change.offset] = static_cast<char>(changed[change.offset] ^ 0x01);
        putFileBytes(change.path, changed);
        verify = run({QStringLiteral("verify"), report});
        EXPECT_EQ(verify.exitCode, 5) << change.name << ' ' << change.offset;
        EXPECT_TRUE(
            verify.output.contains(QStringLiteral("FAILS: %1 %2").arg(change.name, change.path)))
            << verify.output.toStdString();
        if (change.offset == 100 && change.path == certificate) {
            EXPECT_FALSE(pdfsig(change.path).contains(QLatin1String("Signature is Valid")));
        }
        putFileBytes(change.path, original);
    }
}

TEST_F(CliSigning, AKeyOthersCanReadIsRefusedAndTheDocumentsSaySoUnsigned) {
    QFile::setPermissions(file("signer.key"), QFile::ReadOwner | QFile::ReadOther);
    // Documents not signed as asked: never the plain success a script would take for one.
    const QString report = shred(cli::ExitReportNotWritten);
    ASSERT_FALSE(report.isEmpty());
    EXPECT_TRUE(
        last.output.contains(filled("status_certificate_unsigned", {text("status_shredded")})))
        << last.output.toStdString();
    EXPECT_TRUE(readText(report).contains(
        QLatin1String("is readable by others than its owner and group (mode 0404)")))
        << readText(report).toStdString();
    EXPECT_FALSE(QFile::exists(report + ".p7s"));
    const QString certificate = certificatePathFor(report);
    EXPECT_FALSE(pdfsig(certificate).contains(QLatin1String("Signature is Valid")));
    if (pdfToolsMissing().isEmpty()) {
        EXPECT_TRUE(pdfText(certificate).contains(QLatin1String("Not signed digitally")));
    }
    const CliResult verify = run({QStringLiteral("verify"), certificate});
    EXPECT_EQ(verify.exitCode, 0) << verify.output.toStdString();
    EXPECT_TRUE(verify.output.contains(QLatin1String(": not signed")))
        << verify.output.toStdString();
}

TEST_F(CliSigning, TheSignaturesCarryATimeStampOfTheNamedService) {
    putFileBytes(file("tsaserial"), "01\n");
    putFileBytes(
        file("tsa.cnf"),
        QStringLiteral("[tsa]\ndefault_tsa = one\n[one]\nserial = %1\ncrypto_device = builtin\n"
                       "signer_cert = %2\ncerts = %3\nsigner_key = %4\nsigner_digest = sha256\n"
                       "default_policy = 1.2.3.4.1\ndigests = sha256\nordering = yes\n"
                       "tsa_name = no\ness_cert_id_chain = no\ness_cert_id_alg = sha256\n")
            .arg(file("tsaserial"), file("tsa.pem"), file("ca.pem"), file("tsa.key"))
            .toUtf8());
    server = std::make_unique<QProcess>();
    server->start(QStringLiteral("python3"),
                  {QStringLiteral("-c"), QString::fromLatin1(kTimestampServer), file("tsa.cnf")});
    ASSERT_TRUE(server->waitForReadyRead(20000)) << server->readAllStandardError().toStdString();
    const QString port = QString::fromLatin1(server->readLine().trimmed());
    sign("TimestampUrl", QStringLiteral("http://127.0.0.1:%1/").arg(port));

    const QString report = shred();
    ASSERT_FALSE(report.isEmpty());
    const CliResult verify = run({QStringLiteral("verify"), report});
    EXPECT_EQ(verify.exitCode, 0) << verify.output.toStdString();
    EXPECT_EQ(verify.output.count(QLatin1String(", time-stamped 2")), 2)
        << verify.output.toStdString();
}

} // namespace
} // namespace kestrune::test
