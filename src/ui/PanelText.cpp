#include "ui/PanelText.h"

#include "ui/ProgramLook.h"

#include <QPainter>
#include <QPainterPath>
#include <QTextLayout>

namespace kestrune {
namespace {

constexpr int kPadding = PanelText::kWarningMargin;
constexpr int kSignSpace = 30;

} // namespace

PanelText::PanelText(Kind kind, QWidget* parent) : QLabel(parent), kind_(kind) {
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setWordWrap(true);
    if (kind_ == Kind::Warning) {
        QFont bold = font();
        bold.setBold(true);
        setFont(bold);
    }
}

QMargins textMargins(PanelText::Kind kind) {
    return kind == PanelText::Kind::Warning
               ? QMargins(kSignSpace, kPadding, kPadding, kPadding)
               : QMargins(PanelText::kInformationMargin, PanelText::kInformationMargin,
                          PanelText::kInformationMargin, PanelText::kInformationMargin);
}

void PanelText::setTitle(const QString& title) {
    title_ = title;
    update();
}

QFont titleFont(const QFont& base) {
    QFont bold = base;
    bold.setBold(true);
    bold.setPixelSize(base.pixelSize() > 0 ? base.pixelSize() + 1 : 12);
    return bold;
}

int PanelText::titleHeight() const {
    return title_.isEmpty() ? 0 : QFontMetrics(titleFont(font())).lineSpacing() + 6;
}

QRect PanelText::textArea() const {
    return rect().marginsRemoved(textMargins(kind_)).adjusted(0, titleHeight(), 0, 0);
}

int PanelText::heightForText(int width) const {
    const QMargins margins = textMargins(kind_);
    const int lines = int(wrap(width - margins.left() - margins.right()).size());
    return lines * QFontMetrics(font()).lineSpacing() + titleHeight() + margins.top() +
           margins.bottom();
}

QStringList PanelText::wrap(int width) const {
    QStringList lines;
    QString content = text();
    content.replace(QLatin1Char('\n'), QChar::LineSeparator);
    QTextLayout layout(content, font());
    QTextOption option;
    option.setWrapMode(QTextOption::WordWrap);
    layout.setTextOption(option);
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        lines << content.mid(line.textStart(), line.textLength());
    }
    layout.endLayout();
    return lines;
}

PanelText::Layout PanelText::layOut() const {
    Layout result;
    const QRect area = textArea();
    const QFontMetrics metrics(font());
    result.lineHeight = metrics.lineSpacing();
    const int fitting = std::max(1, area.height() / std::max(1, result.lineHeight));
    const QStringList lines = wrap(area.width());
    for (int i = 0; i < lines.size(); ++i) {
        if (i == fitting - 1 && i + 1 < lines.size()) {
            // The last line that fits takes the rest, cut with an ellipsis.
            QString rest = lines.mid(i).join(QLatin1Char(' '));
            rest.replace(QChar::LineSeparator, QLatin1Char(' '));
            rest = rest.simplified();
            result.elided = metrics.horizontalAdvance(rest) > area.width();
            result.lines << metrics.elidedText(rest, Qt::ElideRight, area.width());
            break;
        }
        QString line = lines[i];
        result.lines << line.remove(QChar::LineSeparator).trimmed();
    }
    return result;
}

bool PanelText::isElided() const {
    return !text().isEmpty() && layOut().elided;
}

void PanelText::paintEvent(QPaintEvent*) {
    if (text().isEmpty())
        return;
    const Layout layout = layOut();
    setToolTip(layout.elided ? text() : QString());
    const QRect area = textArea();
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (kind_ == Kind::Warning) {
        const int textHeight = int(layout.lines.size()) * layout.lineHeight;
        const QRectF box(0.5, 0.5, width() - 1, std::min(height(), textHeight + 2 * kPadding) - 1);
        painter.setPen(look::kWarningEdge);
        painter.setBrush(look::kWarningFill);
        painter.drawRoundedRect(box, 4, 4);
        painter.fillRect(QRectF(box.left(), box.top() + 3, 3, box.height() - 6),
                         look::kWarningMark);
        // A warning sign: an amber triangle with an exclamation mark.
        const QPointF top(kSignSpace / 2.0 + 1, kPadding + 1.0);
        QPainterPath sign;
        sign.moveTo(top);
        sign.lineTo(top + QPointF(8, 14));
        sign.lineTo(top + QPointF(-8, 14));
        sign.closeSubpath();
        painter.setPen(QPen(look::kWarningMark, 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.setBrush(look::kWarningMark);
        painter.drawPath(sign);
        painter.setPen(QPen(Qt::white, 1.8, Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(top + QPointF(0, 4.5), top + QPointF(0, 9));
        painter.drawPoint(top + QPointF(0, 11.6));
        painter.setPen(look::kWarningText);
    } else {
        if (!title_.isEmpty()) {
            const QFont bold = titleFont(font());
            painter.setFont(bold);
            painter.setPen(look::kNavy);
            painter.drawText(
                QPoint(area.left(), area.top() - titleHeight() + QFontMetrics(bold).ascent()),
                title_);
        }
        painter.setPen(palette().color(QPalette::WindowText));
    }
    painter.setFont(font());
    const QFontMetrics metrics(font());
    int y = area.top() + metrics.ascent();
    for (const QString& line : layout.lines) {
        painter.drawText(QPoint(area.left(), y), line);
        y += layout.lineHeight;
    }
}

} // namespace kestrune
