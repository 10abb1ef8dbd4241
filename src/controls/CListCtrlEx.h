#pragma once

#include "controls/DeviceListAccessibility.h"
#include "devices/DeviceListModel.h"
#include "devices/DeviceRecord.h"

#include <QImage>
#include <QPointer>
#include <QTableWidget>
#include <functional>
#include <memory>

class QProgressBar;
class QPushButton;

namespace kestrune {

// What a row shows, for the names assistive technology gives its controls.
struct RowFacts {
    QString device;
    QString size;
    // What tells this disk from another row's of the same device and size (its device
    // node's or image file's name); empty when no other row looks alike.
    QString distinguisher;
    QString buttonCaption;
    QString status;
};
// Each control's accessible name, saying which disk it belongs to.
struct RowAccessibleNames {
    QString button;
    QString progress;
    QString status;
};
using RowNamer = std::function<RowAccessibleNames(const RowFacts&)>;

// The list of removable disks. Each row carries a Start button in the start column and a
// progress bar in the progress column, real child controls laid out on every paint.
// Rows change only through the apply* operations, which DeviceListModel posts in order.
class CListCtrlEx : public QTableWidget, public DeviceRowsView {
    Q_OBJECT
public:
    static constexpr int kProgressIdBase = 1024;
    static constexpr int kStartIdBase = 1124;
    static constexpr int kMinimumRowHeight = 18;
    // Notification codes of a Start button: a click (a single one, or by key), and the second
    // press of a mouse double click.
    static constexpr int kClickedCode = 0;
    static constexpr int kDoubleClickedCode = 5;

    explicit CListCtrlEx(QWidget* parent = nullptr);
    ~CListCtrlEx() override;

    void SetParentWindow(QObject* window) { parentWindow_ = window; }
    void SetProgressColumn(int column) { progressColumn_ = column; }
    void SetStartColumn(int column) { startColumn_ = column; }
    void SetDeviceModel(DeviceListModel* model);
    // Names the rows' controls for assistive technology; empty: they keep Qt's names.
    void SetRowNamer(RowNamer namer);
    // Where a row's new status is announced, naming its disk; null: nowhere.
    void SetAnnouncer(StatusAnnouncer* announcer) { announcer_ = announcer; }
    int startColumn() const { return startColumn_; }
    int progressColumn() const { return progressColumn_; }
    // The row whose Start button or progress bar this is, or -1.
    int rowOfControl(const QWidget* control) const;
    // The watermark, not tiled, placed at xPercent / yPercent of the free space.
    void SetBackgroundImage(const QImage& image, int xPercent, int yPercent);
    // Where the watermark is drawn in the viewport; empty without one.
    QRect BackgroundRect() const;

    // The width a column needs to show its heading and each of the samples uncut.
    int WidthToShow(const QString& heading, const QStringList& samples) const;
    // Sets every column's width; the last column also takes whatever the others leave of
    // the list's width, so the header reaches the list's right edge.
    void SetColumnWidths(const QList<int>& widths);

    // Places the row controls of the visible rows in their cells (creating them on first
    // sight). Runs after every paint; moving a control that is in place costs nothing.
    void LayoutRowControls();
    // Tab goes from the list through the rows' buttons in row order, then on to whatever
    // followed the list.
    void ChainTabOrder();

    QPushButton* startButtonOfRow(int row) const;
    QProgressBar* progressBarOfRow(int row) const;
    std::shared_ptr<DeviceRecord> recordOfRow(int row) const;
    int rowOfDevice(std::uint32_t deviceNumber) const;
    int rowProgress(int row) const;

    // Applied on the GUI thread, in the order the model received them.
    void applyInsertRow(int row, const std::shared_ptr<DeviceRecord>& record) override;
    void applyDeleteRow(int row) override;
    void applyCellText(int row, int column, const QString& text) override;
    void applyAutoSizeColumn(int column) override;
    void applyRowProgress(int row, int value) override;
    void applyStartButtonText(std::uint32_t deviceNumber, const QString& text) override;
    void applyStartButtonEnabled(std::uint32_t deviceNumber, bool enabled) override;
    void applyDevicePath(int row, const QString& path) override;
    void applyJobChanged(const DeviceRecord* record) override;

signals:
    // A child control's command, passed on to the parent window: the notification code
    // (kClickedCode, kDoubleClickedCode) and the control id (1124 + device number for a Start
    // button).
    void commandForwarded(int notificationCode, int controlId);
    // The user asked for a row's menu: a right click on it, or the menu key or Shift+F10 on
    // its button. globalPos: where the menu goes.
    void rowMenuRequested(int row, QPoint globalPos);

protected:
    void paintEvent(QPaintEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    struct RowControls {
        std::shared_ptr<DeviceRecord> record;
        QPointer<RowProgressBar> progress;
        QPointer<RowButton> button;
        int progressValue = 0;
        QString buttonText;
        bool buttonEnabled = true;
        RowAccessibleNames names;
        QString devicePath;
    };
    QRect cellRect(int row, int column) const;
    RowFacts factsOfRow(int row) const;
    // Gives each row's controls and status cell the names its row calls for now; only a
    // name that changed is set, and tells assistive technology. A button whose caption is
    // about to change leaves the telling to that change.
    void updateAccessibleNames(int captionChangingRow = -1);
    void announceCell(int row, int column);
    void scheduleLayout();
    void fillLastColumn();

    QVector<RowControls> rows_;
    QObject* parentWindow_ = nullptr;
    DeviceListModel* model_ = nullptr;
    RowNamer namer_;
    StatusAnnouncer* announcer_ = nullptr;
    int progressColumn_ = 0;
    int startColumn_ = 0;
    QImage background_;
    int backgroundX_ = 0;
    int backgroundY_ = 0;
    bool layoutPending_ = false;
    int lastColumnWidth_ = 0;
};

} // namespace kestrune
