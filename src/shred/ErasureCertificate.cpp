#include "shred/ErasureCertificate.h"

#include "devices/ScanDevices.h"
#include "lang/LanguageManager.h"
#include "lang/TextPlaceholders.h"
#include "platform/ExclusiveFile.h"
#include "shred/CertificatePage.h"
#include "shred/ShredMethod.h"
#include "shred/ShredStatusDisplay.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFontMetricsF>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QRegularExpression>
#include <cstdlib>
#include <unistd.h>
#include <vector>

namespace kestrune {
namespace {

// The page is laid out in millimetres and drawn in dots of this resolution.
constexpr int kDotsPerInch = 300;
constexpr qreal kPageWidth = 210;
constexpr qreal kPageHeight = 297;
constexpr qreal kMarginX = 20;
constexpr qreal kMarginTop = 14;
constexpr qreal kMarginBottom = 14;
// The values of the first column start in one line; a second pair starts further right,
// with short labels, so the first values have room.
constexpr qreal kLabelWidth = 38;
constexpr qreal kSecondPairAt = 95;
constexpr qreal kSecondLabelWidth = 30;
constexpr qreal kPairGap = 4;
constexpr qreal kFooterHeight = 10;
constexpr qreal kSignatureRowHeight = 17;
constexpr qreal kSignatureBlockHeight = 10 + kSignatureRowHeight;
// Three columns to sign in: a name line, then a date line.
constexpr qreal kSignatureGap = 5;
constexpr qreal kSignatureColumn = (kPageWidth - 2 * kMarginX - 2 * kSignatureGap) / 3;
constexpr qreal kSignatureDateWidth = 15;

const QColor kInk(0x1F, 0x29, 0x33);
const QColor kMuted(0x5F, 0x6B, 0x7A);
const QColor kRule(0xD5, 0xDA, 0xE1);
const QColor kBrand(0x0F, 0x3D, 0x5E);
const QColor kGood(0x1B, 0x5E, 0x20);
const QColor kGoodFill(0xE8, 0xF5, 0xE9);
const QColor kBad(0xB7, 0x1C, 0x1C);
const QColor kBadFill(0xFD, 0xEC, 0xEA);

qreal dots(qreal millimetres) {
    return millimetres * kDotsPerInch / 25.4;
}

QFont pageFont(qreal points, bool bold = false, bool monospace = false, bool italic = false) {
    QFont font(monospace ? QStringLiteral("DejaVu Sans Mono") : QStringLiteral("DejaVu Sans"));
    font.setStyleHint(monospace ? QFont::Monospace : QFont::SansSerif);
    font.setPointSizeF(points);
    font.setBold(bold);
    font.setItalic(italic);
    // No ligatures: text copied from the page, a serial number say, must be the letters.
    font.setStyleStrategy(QFont::PreferNoShaping);
    return font;
}

} // namespace

QString BinarySizeText(std::uint64_t bytes, const QString& decimalPoint) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    double value = static_cast<double>(bytes);
    std::size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < std::size(units)) {
        value /= 1024.0;
        ++unit;
    }
    QString number = QString::asprintf("%.2f", value);
    number.replace(u'.', decimalPoint.isEmpty() ? QStringLiteral(".") : decimalPoint);
    return number + u' ' + QLatin1String(units[unit]);
}

QString LocalTimeWithZone(std::int64_t seconds, const char* format, const char* beforeOffset) {
    const QDateTime at = QDateTime::fromSecsSinceEpoch(seconds);
    const int offset = at.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    return at.toString(QLatin1String(format)) + QLatin1String(beforeOffset) +
           QString::asprintf("%c%02d:%02d", offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
}

QString GroupedNumber(std::uint64_t number, const QString& separator) {
    QString digits = QString::number(number);
    for (qsizetype at = digits.size() - 3; at > 0; at -= 3)
        digits.insert(at, separator);
    return digits;
}

namespace {

// Draws text into boxes given in millimetres, or only measures them without a painter.
class Layout {
public:
    Layout(QPaintDevice& device, QPainter* painter) : device_(device), painter_(painter) {}

    // The height in millimetres the text takes in a box of this width.
    qreal height(qreal width, const QString& value, const QFont& font,
                 int flags = Qt::AlignLeft | Qt::AlignTop) const {
        const QFontMetricsF metrics(font, &device_);
        const QRectF box(0, 0, dots(width), dots(kPageHeight));
        return metrics.boundingRect(box, flags | Qt::TextWordWrap, value).height() * 25.4 /
               kDotsPerInch;
    }
    // Draws the text and gives its height.
    qreal text(qreal x, qreal y, qreal width, const QString& value, const QFont& font,
               const QColor& colour, int flags = Qt::AlignLeft | Qt::AlignTop) {
        if (painter_) {
            painter_->setFont(font);
            painter_->setPen(colour);
            painter_->drawText(QRectF(dots(x), dots(y), dots(width), dots(kPageHeight)),
                               flags | Qt::TextWordWrap, value);
        }
        return height(width, value, font, flags);
    }
    void line(qreal x1, qreal y1, qreal x2, qreal y2, const QColor& colour, qreal width) {
        if (!painter_)
            return;
        painter_->setPen(QPen(colour, dots(width)));
        painter_->drawLine(QPointF(dots(x1), dots(y1)), QPointF(dots(x2), dots(y2)));
    }
    void box(qreal x, qreal y, qreal width, qreal height, const QColor& colour) {
        if (painter_)
            painter_->fillRect(QRectF(dots(x), dots(y), dots(width), dots(height)), colour);
    }

private:
    QPaintDevice& device_;
    QPainter* painter_;
};

// A label and its value side by side; gives the height they take.
qreal drawCell(Layout& layout, qreal x, qreal y, qreal labelWidth, qreal valueWidth,
               const QString& label, const QString& value, bool monospace, qreal scale) {
    const qreal labelHeight =
        layout.text(x, y, labelWidth - 3, label, pageFont(8.5 * scale), kMuted);
    const QFont valueFont = pageFont((monospace ? 8.5 : 9.5) * scale, false, monospace);
    const qreal valueHeight =
        layout.text(x + labelWidth, y, valueWidth, value, valueFont, kInk,
                    Qt::AlignLeft | Qt::AlignTop | (monospace ? Qt::TextWrapAnywhere : 0));
    return std::max(labelHeight, valueHeight);
}

// The title, the verdict and the tables from the top; returns where they end (mm). The
// type shrinks by scale when a long value would run into the signatures.
qreal drawBody(const Page& page, Layout& layout, qreal scale) {
    const qreal left = kMarginX;
    const qreal width = kPageWidth - 2 * kMarginX;
    const QColor accent = page.certified ? kGood : kBad;
    qreal y = kMarginTop;

    layout.text(left, y, width / 2, page.company.toUpper(), pageFont(8, true), kBrand);
    layout.text(left + width / 2, y, width / 2, page.program, pageFont(8), kMuted,
                Qt::AlignRight | Qt::AlignTop);
    y += 5;
    layout.line(left, y, left + width, y, kBrand, 0.5);
    y += 6;

    y += layout.text(left, y, width, page.title, pageFont(22 * scale, true),
                     page.certified ? kBrand : kBad);
    y += 4;

    // The verdict in a tinted box with a bar of its colour, so a failure cannot be missed.
    constexpr qreal pad = 3.5;
    constexpr qreal bar = 1.6;
    const QFont summaryFont = pageFont(9.5 * scale, !page.certified);
    const qreal textWidth = width - bar - 2 * pad;
    const qreal height = layout.height(textWidth, page.summary, summaryFont) + 2 * pad;
    layout.box(left, y, width, height, page.certified ? kGoodFill : kBadFill);
    layout.box(left, y, bar, height, accent);
    layout.text(left + bar + pad, y + pad, textWidth, page.summary, summaryFont,
                page.certified ? kGood : kBad);
    y += height + 2;

    for (const Section& section : page.sections) {
        y += 3 * scale;
        y += layout.text(left, y, width, section.heading, pageFont(11 * scale, true), kBrand);
        y += 1;
        layout.line(left, y, left + width, y, kBrand, 0.3);
        const qreal rowPad = 1.0 * scale;
        for (const Row& row : section.rows) {
            qreal rowHeight = 0;
            if (row.label.isEmpty()) {
                rowHeight = layout.text(left, y + rowPad, width, row.value,
                                        pageFont(8 * scale, false, false, true), kMuted);
            } else if (row.label2.isEmpty()) {
                rowHeight = drawCell(layout, left, y + rowPad, kLabelWidth, width - kLabelWidth,
                                     row.label, row.value, row.monospace, scale);
            } else {
                // Two pairs side by side.
                rowHeight =
                    std::max(drawCell(layout, left, y + rowPad, kLabelWidth,
                                      kSecondPairAt - kLabelWidth - kPairGap, row.label, row.value,
                                      false, scale),
                             drawCell(layout, left + kSecondPairAt, y + rowPad, kSecondLabelWidth,
                                      width - kSecondPairAt - kSecondLabelWidth, row.label2,
                                      row.value2, false, scale));
            }
            y += rowHeight + 2 * rowPad;
            layout.line(left, y, left + width, y, kRule, 0.2);
        }
    }
    return y;
}

// A line to sign and one to date for the operator, a witness and the one who verified the
// job, side by side at the foot of the page, then the footer.
void drawFoot(const Page& page, Layout& layout) {
    const qreal left = kMarginX;
    const qreal right = kPageWidth - kMarginX;
    qreal y = kPageHeight - kMarginBottom - kFooterHeight - kSignatureBlockHeight;
    layout.text(left, y, right - left, page.signatures, pageFont(11, true), kBrand);
    // Beside the heading, so a missing digital signature is seen where one would stand.
    layout.text(left + 45, y, right - left - 45, page.unsignedNote, pageFont(7), kBad,
                Qt::AlignRight | Qt::AlignTop);
    y += 6;
    layout.line(left, y, right, y, kBrand, 0.3);
    // Room to sign above the lines.
    y += kSignatureRowHeight - 6;
    qreal x = left;
    for (const QString& label : {page.operatorLabel, page.witnessLabel, page.verifierLabel}) {
        const qreal dateLeft = x + kSignatureColumn - kSignatureDateWidth;
        layout.line(x, y, dateLeft - 3, y, kInk, 0.3);
        layout.line(dateLeft, y, x + kSignatureColumn, y, kInk, 0.3);
        layout.text(x, y + 1.2, dateLeft - 3 - x, label, pageFont(7), kMuted);
        layout.text(dateLeft, y + 1.2, kSignatureDateWidth, page.dateLabel, pageFont(7), kMuted);
        x += kSignatureColumn + kSignatureGap;
    }
    const qreal footerTop = kPageHeight - kMarginBottom - kFooterHeight + 4;
    layout.line(left, footerTop, right, footerTop, kRule, 0.2);
    layout.text(left, footerTop + 1.5, right - left, page.footer, pageFont(7), kMuted);
}

} // namespace

bool reachedClear(JobStatus finalStatus, int passesPlanned, std::optional<int> passesDone,
                  std::uint64_t claimedBytes, std::optional<std::uint64_t> usableBytes,
                  ReportVerification verification) {
    // A job interrupted after its read-back passed was cut short in its format: the read-back
    // is the erasure's last step.
    const bool shredded =
        isErased(finalStatus) || finalStatus == JobStatus::FailedFormat ||
        (finalStatus == JobStatus::Interrupted && verification == ReportVerification::Passed);
    const bool everyPass = passesPlanned > 0 && passesDone && *passesDone >= passesPlanned;
    const bool wholeMedium = !usableBytes || *usableBytes >= claimedBytes;
    return shredded && everyPass && wholeMedium && verification == ReportVerification::Passed;
}

CertificateVerdict certificateVerdict(const CertificateFacts& facts) {
    if (!reachedClear(facts.finalStatus, facts.passesPlanned, facts.passesDone, facts.claimedBytes,
                      facts.usableBytes, facts.verification))
        return CertificateVerdict::NotCompleted;
    // Only a report on disk, named by its hash, can be vouched for.
    if (facts.finalStatus == JobStatus::FailedFormat ||
        facts.finalStatus == JobStatus::Interrupted || facts.reportSha256.isEmpty())
        return CertificateVerdict::NotCertified;
    return CertificateVerdict::Certified;
}

int plannedPasses(std::int32_t algorithm) {
    return PlannedShredPasses(algorithm);
}

QString certificatePathFor(const QString& reportPath) {
    const QString base = reportPath.endsWith(QLatin1String(".xml"), Qt::CaseInsensitive)
                             ? reportPath.chopped(4)
                             : reportPath;
    return base + QStringLiteral(".pdf");
}

std::optional<QByteArray> readDocumentBack(const QString& path) {
    // Read back with the rights it was written with, and never through a link put in its place.
    const int fd = platform::OpenRegularFileForReading(path);
    QFile file;
    if (fd < 0 || !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        if (fd >= 0)
            ::close(fd);
        return std::nullopt;
    }
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError || !file.atEnd())
        return std::nullopt;
    return bytes;
}

QString sha256OfFile(const QString& path) {
    const std::optional<QByteArray> bytes = readDocumentBack(path);
    if (!bytes)
        return {};
    return QString::fromLatin1(
        QCryptographicHash::hash(*bytes, QCryptographicHash::Sha256).toHex());
}

PdfBox operatorSignatureBox() {
    // Between the rule under the heading and the operator's line (see drawFoot), in points.
    const qreal top = kPageHeight - kMarginBottom - kFooterHeight - kSignatureBlockHeight + 6.5;
    const qreal bottom = top + kSignatureRowHeight - 7;
    const qreal right = kMarginX + kSignatureColumn - kSignatureDateWidth - 3;
    auto points = [](qreal millimetres) { return millimetres * 72 / 25.4; };
    return PdfBox{points(kMarginX), points(kPageHeight - bottom), points(right),
                  points(kPageHeight - top)};
}

QString certifiedReportSha256(const QByteArray& pdf) {
    static const QRegularExpression pattern(
        QStringLiteral("<kestrune:reportSha256>([0-9a-f]{64})</kestrune:reportSha256>"));
    return pattern.match(QString::fromLatin1(pdf)).captured(1);
}

QByteArray renderErasureCertificate(const CertificateFacts& facts, const LanguageManager& language,
                                    QString* failure) {
    auto fail = [failure](const char* why) {
        if (failure)
            *failure = QString::fromLatin1(why);
        return QByteArray();
    };
    const Page page = certificatePage(facts, language);
    if (page.title.isEmpty())
        return fail("the language file has no texts for a certificate");
    QByteArray pdf;
    QBuffer buffer(&pdf);
    if (!buffer.open(QIODevice::WriteOnly))
        return fail("no memory for the page");
    {
        QPdfWriter writer(&buffer);
        writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait,
                                         QMarginsF(0, 0, 0, 0), QPageLayout::Millimeter));
        writer.setResolution(kDotsPerInch);
        writer.setTitle(page.title);
        writer.setCreator(page.program);
        // The report's hash where a program finds it; the page prints the same value.
        writer.setDocumentXmpMetadata(
            QStringLiteral("<?xpacket begin=\"\uFEFF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"
                           "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
                           "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
                           "<rdf:Description rdf:about=\"\" "
                           "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
                           "xmlns:kestrune=\"https://example.org/kestrune/ns/certificate/1.0/\">"
                           "<dc:title><rdf:Alt><rdf:li xml:lang=\"x-default\">%1</rdf:li>"
                           "</rdf:Alt></dc:title><kestrune:reportFile>%2</kestrune:reportFile>"
                           "<kestrune:reportSha256>%3</kestrune:reportSha256>"
                           "</rdf:Description></rdf:RDF></x:xmpmeta>\n<?xpacket end=\"r\"?>")
                .arg(page.title.toHtmlEscaped(), facts.reportFile.toHtmlEscaped(),
                     facts.reportSha256)
                .toUtf8());
        // The largest type at which the tables end above the signatures.
        Layout measure(writer, nullptr);
        // Some room is left between the tables and the signatures.
        const qreal limit = kPageHeight - kMarginBottom - kFooterHeight - kSignatureBlockHeight - 5;
        qreal scale = 1.0;
        while (scale > 0.6 && drawBody(page, measure, scale) > limit)
            scale -= 0.05;
        QPainter painter;
        if (!painter.begin(&writer))
            return fail("the PDF writer would not start");
        painter.setRenderHint(QPainter::Antialiasing);
        Layout draw(writer, &painter);
        drawBody(page, draw, scale);
        drawFoot(page, draw);
        if (!painter.end())
            return fail("the PDF writer failed");
    }
    buffer.close();
    if (pdf.isEmpty())
        return fail("the PDF writer produced nothing");
    return pdf;
}

QString writeCertificateFile(const QString& path, const QByteArray& pdf, CertificateFileMode mode) {
    if (mode == CertificateFileMode::NewFile) {
        switch (platform::CreateFileExclusively(path, pdf)) {
        case platform::ExclusiveCreation::Created:
            break;
        case platform::ExclusiveCreation::NameTaken:
            return QStringLiteral("a file of that name already exists");
        case platform::ExclusiveCreation::Failed:
            return QStringLiteral("it could not be written whole to the disk");
        }
    } else {
        // A whole new file takes the old one's place, or the old one stays.
        const QString failure =
            platform::ReplaceFileWhole(path, pdf, platform::FileFolder::Rights::ForTheFolder);
        if (!failure.isEmpty())
            return failure;
    }
    return {};
}

} // namespace kestrune
