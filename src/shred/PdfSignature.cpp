#include "shred/PdfSignature.h"

#include "shred/DocumentSigner.h"

#include <QDateTime>
#include <QRegularExpression>
#include <map>

namespace kestrune {
namespace {

// Room for the DER signature: the certificate chain and a time-stamp token fit well within.
constexpr qsizetype kSignatureRoom = 20000;
constexpr qsizetype kByteRangeRoom = 48;

// The end of the dictionary that starts at start ("<<"), just after its ">>"; -1 when it
// does not end. Strings are skipped, so that brackets in them do not count.
qsizetype dictionaryEnd(const QByteArray& text, qsizetype start) {
    int depth = 0;
    for (qsizetype i = start; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '(') {
            for (int nesting = 0; i < text.size(); ++i) {
                if (text[i] == '\\')
                    ++i;
                else if (text[i] == '(')
                    ++nesting;
                else if (text[i] == ')' && --nesting == 0)
                    break;
            }
        } else if (c == '<' && i + 1 < text.size() && text[i + 1] == '<') {
            ++depth;
            ++i;
        } else if (c == '<') {
            i = text.indexOf('>', i);
            if (i < 0)
                return -1;
        } else if (c == '>' && i + 1 < text.size() && text[i + 1] == '>') {
            ++i;
            if (--depth == 0)
                return i + 1;
        }
    }
    return -1;
}

// The file as the certificate writer lays it out: one cross-reference table, its trailer.
struct Layout {
    std::map<int, qsizetype> offsets;
    int size = 0;
    int root = 0;
    int info = 0;
    qsizetype startXref = -1;
};

int referenceIn(const QByteArray& dictionary, const char* key) {
    const QRegularExpression pattern(
        QStringLiteral("/%1\\s+(\\d+)\\s+0\\s+R").arg(QLatin1String(key)));
    const auto match = pattern.match(QString::fromLatin1(dictionary));
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}

QString readLayout(const QByteArray& pdf, Layout& layout) {
    const qsizetype marker = pdf.lastIndexOf("startxref");
    if (marker < 0)
        return QStringLiteral("it has no cross-reference table");
    bool ok = false;
    layout.startXref =
        pdf.mid(marker + 9, 24).trimmed().split('\n').value(0).trimmed().toLongLong(&ok);
    if (!ok || layout.startXref <= 0 || layout.startXref >= marker ||
        !pdf.mid(layout.startXref, 4).startsWith("xref"))
        return QStringLiteral("its cross-reference table is not where the file says");
    const qsizetype trailer = pdf.indexOf("trailer", layout.startXref);
    if (trailer < 0)
        return QStringLiteral("it has no trailer");
    const QList<QByteArray> lines =
        pdf.mid(layout.startXref, trailer - layout.startXref).split('\n');
    int number = -1;
    int left = 0;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> words = lines[i].simplified().split(' ');
        if (left == 0 && words.size() == 2) {
            number = words[0].toInt();
            left = words[1].toInt();
        } else if (left > 0 && words.size() == 3) {
            if (words[2] == "n")
                layout.offsets[number] = words[0].toLongLong();
            ++number;
            --left;
        }
    }
    const qsizetype open = pdf.indexOf("<<", trailer);
    const qsizetype close = open < 0 ? -1 : dictionaryEnd(pdf, open);
    if (close < 0)
        return QStringLiteral("its trailer does not end");
    const QByteArray dictionary = pdf.mid(open, close - open);
    // One table from one writer; a file already updated is not what the job made.
    if (dictionary.contains("/Prev") || dictionary.contains("/Encrypt"))
        return QStringLiteral("it was already changed after it was written");
    const QRegularExpression sizePattern(QStringLiteral("/Size\\s+(\\d+)"));
    layout.size = sizePattern.match(QString::fromLatin1(dictionary)).captured(1).toInt();
    layout.root = referenceIn(dictionary, "Root");
    layout.info = referenceIn(dictionary, "Info");
    if (layout.size <= 0 || !layout.offsets.count(layout.root))
        return QStringLiteral("its trailer names no catalogue");
    return {};
}

// The dictionary of an object: from its "<<" to its ">>".
QByteArray objectDictionary(const QByteArray& pdf, const Layout& layout, int number) {
    const auto at = layout.offsets.find(number);
    if (at == layout.offsets.end() ||
        !pdf.mid(at->second, 24).startsWith(QByteArray::number(number) + " 0 obj"))
        return {};
    const qsizetype open = pdf.indexOf("<<", at->second);
    const qsizetype close = open < 0 ? -1 : dictionaryEnd(pdf, open);
    return close < 0 ? QByteArray() : pdf.mid(open, close - open);
}

// What lies between "obj" and "endobj".
QByteArray objectBody(const QByteArray& pdf, const Layout& layout, int number) {
    const auto at = layout.offsets.find(number);
    if (at == layout.offsets.end())
        return {};
    const qsizetype start = pdf.indexOf("obj", at->second);
    const qsizetype end = start < 0 ? -1 : pdf.indexOf("endobj", start);
    return end < 0 ? QByteArray() : pdf.mid(start + 3, end - start - 3).trimmed();
}

QByteArray withEntry(const QByteArray& dictionary, const QByteArray& entry) {
    return dictionary.chopped(2) + entry + "\n>>";
}

// A PDF text string in the standard fonts' encoding; what it cannot show becomes '?'.
QByteArray literal(const QString& text) {
    QByteArray out = "(";
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == '(' || u == ')' || u == '\\')
            out += '\\' + QByteArray(1, static_cast<char>(u));
        else if (u >= 0x20 && u < 0x7f)
            out += static_cast<char>(u);
        else if (u >= 0xa0 && u <= 0xff)
            out += '\\' + QByteArray::number(u, 8);
        else
            out += '?';
    }
    return out + ")";
}

QByteArray number(double value) {
    return QByteArray::number(value, 'f', 2);
}

// The page the signature's box goes on, with the catalogue that gets the form.
struct SignedPage {
    QByteArray catalog;
    int number = 0;
    QByteArray page;
};

QString findPage(const QByteArray& pdf, const Layout& layout, SignedPage& found) {
    found.catalog = objectDictionary(pdf, layout, layout.root);
    const int pagesNumber = referenceIn(found.catalog, "Pages");
    const QByteArray pages = objectDictionary(pdf, layout, pagesNumber);
    const QRegularExpression kidPattern(QStringLiteral("/Kids\\s*\\[\\s*(\\d+)\\s+0\\s+R"));
    found.number = kidPattern.match(QString::fromLatin1(pages)).captured(1).toInt();
    found.page = objectDictionary(pdf, layout, found.number);
    if (found.catalog.isEmpty() || found.page.isEmpty() || found.page.contains("/Type /Pages"))
        return QStringLiteral("its page cannot be found");
    if (found.catalog.contains("/AcroForm"))
        return QStringLiteral("it already has a form");
    return {};
}

// The numbers of the objects the update adds, after the file's last.
struct AddedObjects {
    explicit AddedObjects(int size) : signature(size) {}
    int signature;
    int widget = signature + 1;
    int appearance = signature + 2;
    int font = signature + 3;
};

using Objects = std::map<int, QByteArray>;

// The catalogue's form with the widget as its one field, and the widget among the page's
// annotations, wherever the page keeps them.
QString addField(const QByteArray& pdf, const Layout& layout, const SignedPage& target,
                 const AddedObjects& added, Objects& objects) {
    const QByteArray widgetReference = QByteArray::number(added.widget) + " 0 R";
    objects[layout.root] =
        withEntry(target.catalog, "/AcroForm << /Fields [" + widgetReference + "] /SigFlags 3 >>");
    if (const int annots = referenceIn(target.page, "Annots")) {
        const QByteArray array = objectBody(pdf, layout, annots);
        if (!array.startsWith('[') || !array.endsWith(']'))
            return QStringLiteral("its annotations cannot be read");
        objects[annots] = array.chopped(1) + ' ' + widgetReference + " ]";
    } else if (const qsizetype direct = target.page.indexOf("/Annots"); direct >= 0) {
        const qsizetype open = target.page.indexOf('[', direct);
        if (open < 0)
            return QStringLiteral("its annotations cannot be read");
        objects[target.number] =
            target.page.left(open + 1) + widgetReference + ' ' + target.page.mid(open + 1);
    } else {
        objects[target.number] = withEntry(target.page, "/Annots [" + widgetReference + "]");
    }
    return {};
}

// The signature with room for its byte ranges and contents, and the widget that shows it.
void addSignature(const PdfBox& box, const QString& name, int pageNumber, const AddedObjects& added,
                  Objects& objects) {
    const QDateTime now = QDateTime::currentDateTimeUtc();
    objects[added.signature] =
        "<< /Type /Sig /Filter /Adobe.PPKLite /SubFilter /adbe.pkcs7.detached\n/Name " +
        literal(name) + "\n/M (D:" + now.toString(QStringLiteral("yyyyMMddHHmmss")).toLatin1() +
        "Z)\n/ByteRange [" + QByteArray(kByteRangeRoom, ' ') + "]\n/Contents <" +
        QByteArray(2 * kSignatureRoom, '0') + ">\n>>";
    const double width = box.right - box.left;
    const double height = box.top - box.bottom;
    const QByteArray appearance =
        "q 0.06 0.24 0.37 rg BT /Helv 7.5 Tf 2 " + number(height - 10) + " Td " +
        literal(QStringLiteral("Digitally signed by %1").arg(name)) + " Tj 0 -9 Td " +
        literal(now.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss 'UTC'"))) + " Tj ET Q";
    objects[added.appearance] = "<< /Type /XObject /Subtype /Form /BBox [0 0 " + number(width) +
                                " " + number(height) + "]\n/Resources << /Font << /Helv " +
                                QByteArray::number(added.font) + " 0 R >> >>\n/Length " +
                                QByteArray::number(appearance.size()) + "\n>>\nstream\n" +
                                appearance + "\nendstream";
    objects[added.font] =
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>";
    // Printed, and locked: the box shows the signature and nobody moves it.
    objects[added.widget] =
        "<< /Type /Annot /Subtype /Widget /FT /Sig /F 132 /T " +
        literal(QStringLiteral("Operator")) + "\n/V " + QByteArray::number(added.signature) +
        " 0 R /P " + QByteArray::number(pageNumber) + " 0 R\n/Rect [" + number(box.left) + " " +
        number(box.bottom) + " " + number(box.right) + " " + number(box.top) + "]\n/AP << /N " +
        QByteArray::number(added.appearance) + " 0 R >>\n>>";
}

// The file with the objects appended, their cross-reference table and a trailer pointing
// back to the file's own; where each object starts in *written.
QByteArray appendUpdate(const QByteArray& pdf, const Layout& layout, const Objects& objects,
                        int size, std::map<int, qsizetype>& written) {
    QByteArray out = pdf;
    if (!out.endsWith('\n'))
        out += '\n';
    for (const auto& [objectNumber, body] : objects) {
        written[objectNumber] = out.size();
        out += QByteArray::number(objectNumber) + " 0 obj\n" + body + "\nendobj\n";
    }
    const qsizetype xref = out.size();
    out += "xref\n";
    for (auto run = written.begin(); run != written.end();) {
        auto end = run;
        int next = run->first;
        while (end != written.end() && end->first == next) {
            ++end;
            ++next;
        }
        out += QByteArray::number(run->first) + ' ' + QByteArray::number(next - run->first) + '\n';
        for (; run != end; ++run)
            out += QByteArray::number(run->second).rightJustified(10, '0') + " 00000 n \n";
    }
    out += "trailer\n<< /Size " + QByteArray::number(size) + " /Root " +
           QByteArray::number(layout.root) + " 0 R";
    if (layout.info)
        out += " /Info " + QByteArray::number(layout.info) + " 0 R";
    out += " /Prev " + QByteArray::number(layout.startXref) + " >>\nstartxref\n" +
           QByteArray::number(xref) + "\n%%EOF\n";
    return out;
}

} // namespace

QByteArray signPdf(const QByteArray& pdf, const PdfBox& box, const DocumentSigner& signer,
                   QString* failure, QString* timestampProblem) {
    auto fail = [failure](const QString& why) {
        *failure = QStringLiteral("the certificate's PDF could not be signed: %1").arg(why);
        return QByteArray();
    };
    Layout layout;
    if (const QString problem = readLayout(pdf, layout); !problem.isEmpty())
        return fail(problem);
    SignedPage target;
    if (const QString problem = findPage(pdf, layout, target); !problem.isEmpty())
        return fail(problem);
    const AddedObjects added(layout.size);
    Objects objects;
    if (const QString problem = addField(pdf, layout, target, added, objects); !problem.isEmpty())
        return fail(problem);
    addSignature(box, signer.signerName(), target.number, added, objects);
    std::map<int, qsizetype> written;
    QByteArray out = appendUpdate(pdf, layout, objects, added.font + 1, written);

    // The signature covers the whole file but its own contents.
    const qsizetype rangeAt = out.indexOf("/ByteRange [", written[added.signature]) + 12;
    const qsizetype contentsStart = out.indexOf("/Contents <", written[added.signature]) + 10;
    const qsizetype contentsEnd = contentsStart + 2 * kSignatureRoom + 2;
    const QByteArray range = "0 " + QByteArray::number(contentsStart) + ' ' +
                             QByteArray::number(contentsEnd) + ' ' +
                             QByteArray::number(out.size() - contentsEnd);
    out.replace(rangeAt, range.size(), range);
    const QByteArray signature =
        signer.sign(out.left(contentsStart) + out.mid(contentsEnd), failure, timestampProblem);
    if (signature.isEmpty())
        return {};
    if (signature.size() > kSignatureRoom)
        return fail(QStringLiteral("the signature (%1 bytes) is larger than its room")
                        .arg(signature.size()));
    const QByteArray hex = signature.toHex().toUpper();
    out.replace(contentsStart + 1, hex.size(), hex);
    return out;
}

PdfSignatureParts pdfSignatureParts(const QByteArray& pdf) {
    PdfSignatureParts parts;
    const qsizetype at = pdf.lastIndexOf("/ByteRange");
    if (at < 0)
        return parts;
    parts.present = true;
    const QRegularExpression pattern(
        QStringLiteral("^/ByteRange\\s*\\[\\s*(\\d+)\\s+(\\d+)\\s+(\\d+)\\s+(\\d+)\\s*\\]"));
    const auto match = pattern.match(QString::fromLatin1(pdf.mid(at, 128)));
    if (!match.hasMatch()) {
        parts.problem = QStringLiteral("its signature's byte ranges cannot be read");
        return parts;
    }
    const qint64 start = match.captured(1).toLongLong();
    const qint64 firstEnd = match.captured(2).toLongLong();
    const qint64 secondStart = match.captured(3).toLongLong();
    const qint64 secondLength = match.captured(4).toLongLong();
    // The ranges must cover the whole file but the signature itself.
    if (start != 0 || firstEnd < 1 || secondStart <= firstEnd + 1 || secondStart > pdf.size() ||
        secondStart + secondLength != pdf.size() || pdf[firstEnd] != '<' ||
        pdf[secondStart - 1] != '>') {
        parts.problem = QStringLiteral("its signature does not cover the whole file");
        return parts;
    }
    const QByteArray hex = pdf.mid(firstEnd + 1, secondStart - firstEnd - 2);
    // Written in upper case without spaces: anything else was changed since.
    static const QRegularExpression hexDigits(QStringLiteral("^[0-9A-F]*$"));
    if (hex.size() % 2 || !hexDigits.match(QString::fromLatin1(hex)).hasMatch()) {
        parts.problem = QStringLiteral("its signature's bytes were changed");
        return parts;
    }
    parts.signature = QByteArray::fromHex(hex);
    parts.signedBytes = pdf.left(firstEnd) + pdf.mid(secondStart);
    return parts;
}

} // namespace kestrune
