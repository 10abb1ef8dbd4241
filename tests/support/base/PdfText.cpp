#include "PdfText.h"

#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>

namespace kestrune::test {
namespace {

QString run(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0)
        return {};
    return QString::fromUtf8(process.readAllStandardOutput());
}

} // namespace

QString pdfToolsMissing() {
    for (const char* tool : {"pdftotext", "pdfinfo"})
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
            return QStringLiteral("needs %1 (poppler-utils)").arg(QString::fromLatin1(tool));
    return {};
}

QString pdfText(const QString& path) {
    return run(QStringLiteral("pdftotext"), {QStringLiteral("-layout"), QStringLiteral("-enc"),
                                             QStringLiteral("UTF-8"), path, QStringLiteral("-")});
}

int pdfPages(const QString& path) {
    const QRegularExpressionMatch pages = QRegularExpression(QStringLiteral("^Pages:\\s+(\\d+)$"),
                                                             QRegularExpression::MultilineOption)
                                              .match(run(QStringLiteral("pdfinfo"), {path}));
    return pages.hasMatch() ? pages.captured(1).toInt() : 0;
}

} // namespace kestrune::test
