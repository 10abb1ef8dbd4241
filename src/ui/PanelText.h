#pragma once

#include <QLabel>

namespace kestrune {

// A text of the main window's information panel. It wraps within its rectangle; a text
// longer than the rectangle ends in an ellipsis on its last visible line and shows in
// full as a tool tip. A warning is drawn as one: an amber box with a warning sign, sized
// to its text.
class PanelText : public QLabel {
    Q_OBJECT
public:
    enum class Kind { Information, Warning };
    // Space between the control's edge and its text (the warning's inside its box).
    static constexpr int kInformationMargin = 4;
    static constexpr int kWarningMargin = 8;
    PanelText(Kind kind, QWidget* parent);

    Kind kind() const { return kind_; }
    // A bold line above the text (the information's subject); not part of text().
    void setTitle(const QString& title);
    QString title() const { return title_; }
    // Whether the last layout had to cut the text (and ended it in an ellipsis).
    bool isElided() const;
    // The rectangle the text is laid out in, in the control's coordinates.
    QRect textArea() const;
    // The height the control needs at the given width to show its whole text.
    int heightForText(int width) const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    struct Layout {
        QStringList lines;
        int lineHeight = 0;
        bool elided = false;
    };
    Layout layOut() const;
    QStringList wrap(int width) const;

    int titleHeight() const;

    Kind kind_;
    QString title_;
};

} // namespace kestrune
