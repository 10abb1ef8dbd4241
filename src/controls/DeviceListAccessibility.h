#pragma once

#include <QProgressBar>
#include <QPushButton>
#include <QString>

namespace kestrune {

class CListCtrlEx;

// A row's Start/Abort button. Assistive technology hears the name its row gives it (the
// caption and the disk), set before the caption changes, so that a new caption is one name
// change; it sits in its row's start cell of the list's accessible table.
class RowButton final : public QPushButton {
    Q_OBJECT
public:
    RowButton(const QString& text, CListCtrlEx* list, QWidget* parent);
    CListCtrlEx* list() const { return list_; }
    QString accessibleLabel() const { return label_; }
    // notify: send the name change now; otherwise the caption change that follows does.
    void setAccessibleLabel(const QString& label, bool notify);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    CListCtrlEx* list_;
    QString label_;
};

// A row's progress bar, named by its disk, in its row's progress cell.
class RowProgressBar final : public QProgressBar {
    Q_OBJECT
public:
    RowProgressBar(CListCtrlEx* list, QWidget* parent);
    CListCtrlEx* list() const { return list_; }
    QString accessibleLabel() const { return label_; }
    void setAccessibleLabel(const QString& label);

private:
    CListCtrlEx* list_;
    QString label_;
};

// What screen readers speak of a change beside the focus: an object of the notification
// role that appears with the text as its name. Several take turns, so that a reader that
// asks for the name of one a moment later still finds the text it was shown for.
class StatusAnnouncer final : public QObject {
    Q_OBJECT
public:
    explicit StatusAnnouncer(QWidget* window);
    void announce(const QString& text);

private:
    QList<QWidget*> notices_;
    int next_ = 0;
};

// The accessible faces of the device list, its cells, the rows' controls and the
// announcements; installed once per process.
void InstallDeviceListAccessibility();

} // namespace kestrune
