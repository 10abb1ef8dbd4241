#include "controls/CListCtrlEx.h"

#include "controls/FocusFrame.h"
#include "devices/DeviceListModel.h"

#include <QAccessible>
#include <QContextMenuEvent>
#include <QFileInfo>
#include <QHeaderView>
#include <QKeyEvent>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QStyle>
#include <cstdio>

namespace kestrune {
namespace {

// Set on a row's button from a double click's second press until the click it ends.
constexpr char kDoubleClickSecond[] = "doubleClickSecond";

} // namespace

CListCtrlEx::CListCtrlEx(QWidget* parent) : QTableWidget(parent) {
    InstallDeviceListAccessibility();
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setShowGrid(false);
    setWordWrap(false);
    setFocusPolicy(Qt::StrongFocus);
    // Tab leaves the list for the rows' buttons; the arrows still walk the rows.
    setTabKeyNavigation(false);
    verticalHeader()->hide();
    verticalHeader()->setMinimumSectionSize(kMinimumRowHeight);
    verticalHeader()->setDefaultSectionSize(
        std::max(kMinimumRowHeight, fontMetrics().height() + 12));
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setStretchLastSection(false);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
}

CListCtrlEx::~CListCtrlEx() {
    if (model_)
        model_->attach(nullptr, nullptr);
}

void CListCtrlEx::SetDeviceModel(DeviceListModel* model) {
    if (model_)
        model_->attach(nullptr, nullptr);
    model_ = model;
    if (model_)
        model_->attach(this, this);
}

void CListCtrlEx::SetRowNamer(RowNamer namer) {
    namer_ = std::move(namer);
    updateAccessibleNames();
}

int CListCtrlEx::rowOfControl(const QWidget* control) const {
    for (int i = 0; i < rows_.size() && i < rowCount(); ++i)
        if (control && (rows_[i].button == control || rows_[i].progress == control))
            return i;
    return -1;
}

RowFacts CListCtrlEx::factsOfRow(int row) const {
    const auto text = [this, row](int column) {
        const QTableWidgetItem* cell = item(row, column);
        return cell ? cell->text() : QString();
    };
    const RowControls& controls = rows_[row];
    RowFacts facts{text(DeviceListModel::DeviceColumn),
                   text(DeviceListModel::SizeColumn),
                   {},
                   controls.buttonText.isNull() ? QStringLiteral("Start") : controls.buttonText,
                   text(DeviceListModel::StatusColumn)};
    // Two sticks of one make and size read alike: the one that is not alone says which.
    for (int other = 0; other < rows_.size() && other < rowCount(); ++other)
        if (other != row && item(other, DeviceListModel::DeviceColumn) &&
            item(other, DeviceListModel::SizeColumn) &&
            item(other, DeviceListModel::DeviceColumn)->text() == facts.device &&
            item(other, DeviceListModel::SizeColumn)->text() == facts.size) {
            facts.distinguisher = QFileInfo(controls.devicePath).fileName();
            break;
        }
    return facts;
}

void CListCtrlEx::updateAccessibleNames(int captionChangingRow) {
    if (!namer_)
        return;
    for (int row = 0; row < rows_.size() && row < rowCount(); ++row) {
        RowControls& controls = rows_[row];
        controls.names = namer_(factsOfRow(row));
        if (controls.button)
            controls.button->setAccessibleLabel(controls.names.button, row != captionChangingRow);
        if (controls.progress)
            controls.progress->setAccessibleLabel(controls.names.progress);
        QTableWidgetItem* cell = item(row, DeviceListModel::StatusColumn);
        if (cell && cell->data(Qt::AccessibleTextRole).toString() != controls.names.status) {
            cell->setData(Qt::AccessibleTextRole, controls.names.status);
            announceCell(row, DeviceListModel::StatusColumn);
        }
    }
}

void CListCtrlEx::announceCell(int row, int column) {
#if QT_CONFIG(accessibility)
    if (!QAccessible::isActive())
        return;
    QAccessibleInterface* list = QAccessible::queryAccessibleInterface(this);
    QAccessibleTableInterface* table = list ? list->tableInterface() : nullptr;
    QAccessibleInterface* cell = table ? table->cellAt(row, column) : nullptr;
    if (!cell)
        return;
    QAccessibleEvent event(cell, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&event);
#else
    Q_UNUSED(row);
    Q_UNUSED(column);
#endif
}

void CListCtrlEx::SetBackgroundImage(const QImage& image, int xPercent, int yPercent) {
    background_ = image;
    backgroundX_ = xPercent;
    backgroundY_ = yPercent;
    viewport()->update();
}

int CListCtrlEx::WidthToShow(const QString& heading, const QStringList& samples) const {
    // The style's text margins: a header section adds its own on both sides, a cell its
    // focus frame margin.
    const int headerMargin = 2 * style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, this);
    const int cellMargin =
        2 * (style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 1);
    int width = horizontalHeader()->fontMetrics().horizontalAdvance(heading) + headerMargin + 2;
    for (const QString& sample : samples)
        width = std::max(width, fontMetrics().horizontalAdvance(sample) + cellMargin + 2);
    return width;
}

void CListCtrlEx::SetColumnWidths(const QList<int>& widths) {
    for (int i = 0; i < widths.size() && i < columnCount(); ++i)
        setColumnWidth(i, widths[i]);
    if (!widths.isEmpty() && widths.size() >= columnCount())
        lastColumnWidth_ = widths[columnCount() - 1];
    fillLastColumn();
}

void CListCtrlEx::fillLastColumn() {
    const int last = columnCount() - 1;
    if (last < 0)
        return;
    if (lastColumnWidth_ <= 0)
        lastColumnWidth_ = columnWidth(last);
    int others = 0;
    for (int i = 0; i < last; ++i)
        others += columnWidth(i);
    const int wanted = std::max(lastColumnWidth_, viewport()->width() - others);
    if (columnWidth(last) != wanted)
        setColumnWidth(last, wanted);
}

void CListCtrlEx::resizeEvent(QResizeEvent* event) {
    QTableWidget::resizeEvent(event);
    fillLastColumn();
}

QRect CListCtrlEx::cellRect(int row, int column) const {
    // Section positions already include the horizontal scroll offset.
    const int left = horizontalHeader()->sectionViewportPosition(column);
    const int right = left + horizontalHeader()->sectionSize(column);
    const int top = rowViewportPosition(row);
    const int bottom = top + rowHeight(row);
    return QRect(QPoint(left + 2, top + 1), QPoint(right - 2 - 1, bottom - 1 - 1));
}

void CListCtrlEx::LayoutRowControls() {
    const int count = rowCount();
    if (count == 0)
        return;
    int first = rowAt(0);
    if (first < 0)
        first = 0;
    int lastVisible = rowAt(viewport()->height() - 1);
    const int last = lastVisible < 0 ? count : std::min(lastVisible + 1, count);
    for (int i = first; i < last; ++i) {
        if (i >= rows_.size())
            break;
        RowControls& row = rows_[i];
        if (!row.record)
            continue;
        const QRect progressCell = cellRect(i, progressColumn_);
        if (!row.progress) {
            row.progress = new RowProgressBar(this, viewport());
            row.progress->setRange(0, 100);
            row.progress->setTextVisible(false);
            row.progress->setProperty("controlId", kProgressIdBase + i);
            row.progress->setValue(std::clamp(row.progressValue, 0, 100));
            row.progress->setGeometry(progressCell);
            row.progress->setAccessibleLabel(row.names.progress);
            row.progress->show();
        }
        row.progress->setValue(std::clamp(row.progressValue, 0, 100));
        if (row.progress->geometry() != progressCell)
            row.progress->setGeometry(progressCell);
        if (!row.button) {
            const int id = kStartIdBase + static_cast<int>(row.record->deviceNumber);
            row.button = new RowButton(QStringLiteral("Start"), this, viewport());
            row.button->setProperty("controlId", id);
            // Reached by Tab and pressed by Space. Enter belongs to the window; it must never
            // start a shred.
            row.button->setFocusPolicy(Qt::TabFocus);
            row.button->setAutoDefault(false);
            row.button->installEventFilter(this);
            if (!row.buttonText.isNull())
                row.button->setText(row.buttonText);
            row.button->setEnabled(row.buttonEnabled);
            connect(row.button, &QPushButton::clicked, this, [this, id, button = row.button] {
                const bool second = button && button->property(kDoubleClickSecond).toBool();
                if (button)
                    button->setProperty(kDoubleClickSecond, false);
                emit commandForwarded(second ? kDoubleClickedCode : kClickedCode, id);
            });
            row.button->setGeometry(progressCell);
            row.button->setAccessibleLabel(row.names.button, false);
            row.button->show();
            std::printf("Row %d: Start %d: %s %s %s\n", i, id,
                        row.record->vendorText.toUtf8().constData(),
                        row.record->productText.toUtf8().constData(),
                        row.record->serialText.toUtf8().constData());
            std::fflush(stdout);
        }
        const QRect startCell = cellRect(i, startColumn_);
        if (row.button->geometry() != startCell)
            row.button->setGeometry(startCell);
    }
    ChainTabOrder();
}

void CListCtrlEx::ChainTabOrder() {
    QWidget* previous = this;
    for (const RowControls& row : rows_) {
        if (!row.button)
            continue;
        if (previous->nextInFocusChain() != row.button)
            QWidget::setTabOrder(previous, row.button);
        previous = row.button;
    }
}

// A button reached by Tab in a row scrolled out of sight brings its row into view.
bool CListCtrlEx::eventFilter(QObject* watched, QEvent* event) {
    // Which press the coming click ends: Qt tells a double click's second press apart.
    if (qobject_cast<RowButton*>(watched)) {
        if (event->type() == QEvent::MouseButtonDblClick)
            watched->setProperty(kDoubleClickSecond, true);
        else if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::KeyPress)
            watched->setProperty(kDoubleClickSecond, false);
    }
    if (event->type() == QEvent::FocusIn) {
        for (int i = 0; i < rows_.size(); ++i)
            if (rows_[i].button == watched && i < rowCount())
                scrollTo(model()->index(i, startColumn_));
    }
    // The row's menu from the keyboard: the focus is on the row's button.
    if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const bool menuKey = key->key() == Qt::Key_Menu ||
                             (key->key() == Qt::Key_F10 && key->modifiers() == Qt::ShiftModifier);
        for (int i = 0; menuKey && i < rows_.size() && i < rowCount(); ++i) {
            if (rows_[i].button != watched)
                continue;
            emit rowMenuRequested(i,
                                  rows_[i].button->mapToGlobal(rows_[i].button->rect().center()));
            return true;
        }
    }
    return QTableWidget::eventFilter(watched, event);
}

void CListCtrlEx::contextMenuEvent(QContextMenuEvent* event) {
    const int row = rowAt(viewport()->mapFromGlobal(event->globalPos()).y());
    if (row < 0 || row >= rowCount()) {
        event->ignore();
        return;
    }
    emit rowMenuRequested(row, event->globalPos());
    event->accept();
}

// Controls are created and moved right after a paint, never inside one: a child shown or
// a bar repainted during its parent's paint would paint recursively.
void CListCtrlEx::scheduleLayout() {
    if (layoutPending_)
        return;
    layoutPending_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            layoutPending_ = false;
            LayoutRowControls();
        },
        Qt::QueuedConnection);
}

QRect CListCtrlEx::BackgroundRect() const {
    if (background_.isNull())
        return {};
    // A drawing for twice the pixels covers its layout size, not its pixel size.
    const QSize size = background_.deviceIndependentSize().toSize();
    const QSize free = viewport()->size() - size;
    return QRect(QPoint(free.width() * backgroundX_ / 100, free.height() * backgroundY_ / 100),
                 size);
}

void CListCtrlEx::paintEvent(QPaintEvent* event) {
    scheduleLayout();
    if (!background_.isNull()) {
        QPainter painter(viewport());
        painter.drawImage(QRectF(BackgroundRect()), background_);
    }
    QTableWidget::paintEvent(event);
}

void CListCtrlEx::scrollContentsBy(int dx, int dy) {
    QTableWidget::scrollContentsBy(dx, dy);
    viewport()->update();
}

QPushButton* CListCtrlEx::startButtonOfRow(int row) const {
    return row >= 0 && row < rows_.size() ? rows_[row].button.data() : nullptr;
}

QProgressBar* CListCtrlEx::progressBarOfRow(int row) const {
    return row >= 0 && row < rows_.size() ? rows_[row].progress.data() : nullptr;
}

std::shared_ptr<DeviceRecord> CListCtrlEx::recordOfRow(int row) const {
    return row >= 0 && row < rows_.size() ? rows_[row].record : nullptr;
}

int CListCtrlEx::rowOfDevice(std::uint32_t deviceNumber) const {
    for (int i = 0; i < rows_.size(); ++i)
        if (rows_[i].record && rows_[i].record->deviceNumber == deviceNumber)
            return i;
    return -1;
}

int CListCtrlEx::rowProgress(int row) const {
    return row >= 0 && row < rows_.size() ? rows_[row].progressValue : 0;
}

void CListCtrlEx::applyInsertRow(int row, const std::shared_ptr<DeviceRecord>& record) {
    row = std::clamp(row, 0, static_cast<int>(rows_.size()));
    insertRow(row);
    for (int column = 0; column < columnCount(); ++column)
        setItem(row, column, new QTableWidgetItem());
    // A disk without a number cannot be started; its status says why.
    const bool startable = record && record->deviceNumber != kUnknownDeviceNumber;
    rows_.insert(row, RowControls{record, {}, {}, 0, QString(), startable, {}, {}});
    updateAccessibleNames();
    viewport()->update();
}

void CListCtrlEx::applyDeleteRow(int row) {
    if (row < 0 || row >= rows_.size())
        return;
    RowControls gone = rows_.takeAt(row);
    delete gone.progress.data();
    delete gone.button.data();
    removeRow(row);
    // A disk that looked like the one gone no longer needs telling apart.
    updateAccessibleNames();
    viewport()->update();
}

void CListCtrlEx::applyCellText(int row, int column, const QString& text) {
    if (row < 0 || row >= rowCount() || column < 0 || column >= columnCount())
        return;
    QTableWidgetItem* cell = item(row, column);
    if (!cell) {
        cell = new QTableWidgetItem();
        setItem(row, column, cell);
    }
    if (cell->text() == text)
        return;
    cell->setText(text);
    cell->setToolTip(text);
    if (column == DeviceListModel::DeviceColumn || column == DeviceListModel::SizeColumn ||
        column == DeviceListModel::StatusColumn)
        updateAccessibleNames();
    // A new status is said where screen readers listen, whatever has the focus.
    if (column == DeviceListModel::StatusColumn && announcer_ && !text.isEmpty() &&
        row < rows_.size())
        announcer_->announce(rows_[row].names.status);
}

void CListCtrlEx::applyAutoSizeColumn(int column) {
    if (column < 0 || column >= columnCount())
        return;
    const int before = columnWidth(column);
    const bool last = column == columnCount() - 1;
    resizeColumnToContents(column);
    // Contents narrower than the heading would hide it; keep the heading readable.
    const QTableWidgetItem* header = horizontalHeaderItem(column);
    const int heading = header ? WidthToShow(header->text(), {}) : 0;
    if (columnWidth(column) < heading)
        setColumnWidth(column, heading);
    if (last)
        lastColumnWidth_ = columnWidth(column);
    fillLastColumn();
    if (columnWidth(column) != before)
        viewport()->update();
}

void CListCtrlEx::applyRowProgress(int row, int value) {
    if (row < 0 || row >= rows_.size())
        return;
    rows_[row].progressValue = value;
    if (rows_[row].progress)
        rows_[row].progress->setValue(std::clamp(value, 0, 100));
}

void CListCtrlEx::applyStartButtonText(std::uint32_t deviceNumber, const QString& text) {
    const int row = rowOfDevice(deviceNumber);
    if (row < 0)
        return;
    rows_[row].buttonText = text;
    // The name first, so that the caption's change is the one that tells it.
    const bool captionChanges = rows_[row].button && rows_[row].button->text() != text;
    updateAccessibleNames(captionChanges ? row : -1);
    if (rows_[row].button)
        rows_[row].button->setText(text);
}

void CListCtrlEx::applyDevicePath(int row, const QString& path) {
    if (row < 0 || row >= rows_.size())
        return;
    rows_[row].devicePath = path;
    updateAccessibleNames();
}

void CListCtrlEx::applyJobChanged(const DeviceRecord* record) {
    int row = -1;
    for (int i = 0; i < rows_.size() && row < 0; ++i)
        row = rows_[i].record.get() == record ? i : -1;
    const auto cells = model_ && row >= 0 ? model_->cellsOf(record) : std::nullopt;
    if (!cells)
        return;
    // Worked out here, from the job as it stands now: a late turn never shows an older one.
    for (int column = 0; column < DeviceListModel::kColumnCount; ++column)
        if (DeviceListModel::isJobColumn(column))
            applyCellText(row, column, cells->texts[column]);
    applyRowProgress(row, cells->progress);
}

void CListCtrlEx::applyStartButtonEnabled(std::uint32_t deviceNumber, bool enabled) {
    const int row = rowOfDevice(deviceNumber);
    if (row < 0)
        return;
    rows_[row].buttonEnabled = enabled;
    if (rows_[row].button)
        rows_[row].button->setEnabled(enabled);
}

} // namespace kestrune
