#include "devices/DeviceListModel.h"

#include <QMetaObject>
#include <algorithm>

namespace kestrune {

void DeviceListModel::attach(QObject* context, DeviceRowsView* view) {
    std::lock_guard guard(mutex_);
    context_ = view ? context : nullptr;
    view_ = context ? view : nullptr;
}

// Called with mutex_ held, so the view receives operations in the mirror's order.
template <typename Fn> void DeviceListModel::post(Fn&& fn) {
    if (view_)
        QMetaObject::invokeMethod(context_, std::forward<Fn>(fn), Qt::QueuedConnection);
}

void DeviceListModel::insertRow(int row, const std::shared_ptr<DeviceRecord>& record) {
    std::lock_guard guard(mutex_);
    row = std::clamp(row, 0, static_cast<int>(rows_.size()));
    rows_.insert(row, Row{record, {}, {}, 0, {}, nullptr});
    DeviceRowsView* view = view_;
    post([view, row, record] { view->applyInsertRow(row, record); });
}

void DeviceListModel::deleteRow(int row) {
    std::lock_guard guard(mutex_);
    if (row < 0 || row >= rows_.size())
        return;
    rows_.remove(row);
    DeviceRowsView* view = view_;
    post([view, row] { view->applyDeleteRow(row); });
}

void DeviceListModel::setCellText(int row, int column, const QString& text) {
    std::lock_guard guard(mutex_);
    if (row < 0 || row >= rows_.size() || column < 0 || column >= kColumnCount)
        return;
    rows_[row].texts[column] = text;
    rows_[row].ownText[column] = true;
    DeviceRowsView* view = view_;
    post([view, row, column, text] { view->applyCellText(row, column, text); });
}

void DeviceListModel::setDevicePath(int row, const QString& path) {
    std::lock_guard guard(mutex_);
    if (row < 0 || row >= rows_.size() || rows_[row].devicePath == path)
        return;
    rows_[row].devicePath = path;
    DeviceRowsView* view = view_;
    post([view, row, path] { view->applyDevicePath(row, path); });
}

void DeviceListModel::autoSizeColumn(int column) {
    std::lock_guard guard(mutex_);
    DeviceRowsView* view = view_;
    post([view, column] { view->applyAutoSizeColumn(column); });
}

void DeviceListModel::SetRowProgress(int row, int value) {
    std::lock_guard guard(mutex_);
    if (row < 0 || row >= rows_.size())
        return;
    rows_[row].progress = value;
    DeviceRowsView* view = view_;
    post([view, row, value] { view->applyRowProgress(row, value); });
}

void DeviceListModel::SetStartButtonText(std::uint32_t deviceNumber, const QString& text) {
    std::lock_guard guard(mutex_);
    DeviceRowsView* view = view_;
    post([view, deviceNumber, text] { view->applyStartButtonText(deviceNumber, text); });
}

void DeviceListModel::EnableStartButton(std::uint32_t deviceNumber) {
    std::lock_guard guard(mutex_);
    DeviceRowsView* view = view_;
    post([view, deviceNumber] { view->applyStartButtonEnabled(deviceNumber, true); });
}

void DeviceListModel::DisableStartButton(std::uint32_t deviceNumber) {
    std::lock_guard guard(mutex_);
    DeviceRowsView* view = view_;
    post([view, deviceNumber] { view->applyStartButtonEnabled(deviceNumber, false); });
}

bool DeviceListModel::isJobColumn(int column) {
    return column == ElapsedColumn || column == TimeLeftColumn || column == SpeedColumn ||
           column == StatusColumn;
}

int DeviceListModel::rowOfRecordLocked(const DeviceRecord* record) const {
    for (int i = 0; i < rows_.size(); ++i)
        if (rows_[i].record.get() == record)
            return i;
    return -1;
}

QString DeviceListModel::textOf(const Row& row, int column) {
    if (row.job && isJobColumn(column) && !row.ownText[column])
        return row.job->cellText(column);
    return row.texts[column];
}

void DeviceListModel::showJob(const DeviceRecord* record, std::shared_ptr<const RowJob> job) {
    std::lock_guard guard(mutex_);
    const int row = rowOfRecordLocked(record);
    if (row < 0)
        return;
    rows_[row].job = std::move(job);
    for (bool& own : rows_[row].ownText)
        own = false;
    DeviceRowsView* view = view_;
    post([view, record] { view->applyJobChanged(record); });
}

void DeviceListModel::jobChanged(const DeviceRecord* record, bool autoSizeStatus) {
    std::lock_guard guard(mutex_);
    const int row = rowOfRecordLocked(record);
    if (row < 0)
        return;
    for (bool& own : rows_[row].ownText)
        own = false;
    DeviceRowsView* view = view_;
    post([view, record] { view->applyJobChanged(record); });
    if (autoSizeStatus)
        post([view] { view->applyAutoSizeColumn(StatusColumn); });
}

std::optional<DeviceListModel::RowCells>
DeviceListModel::cellsOf(const DeviceRecord* record) const {
    std::lock_guard guard(mutex_);
    const int row = rowOfRecordLocked(record);
    if (row < 0)
        return std::nullopt;
    RowCells cells;
    cells.progress = rows_[row].job ? rows_[row].job->progressValue() : rows_[row].progress;
    for (int column = 0; column < kColumnCount; ++column)
        cells.texts[column] = textOf(rows_[row], column);
    return cells;
}

int DeviceListModel::rowCount() const {
    std::lock_guard guard(mutex_);
    return static_cast<int>(rows_.size());
}

QString DeviceListModel::cellText(int row, int column) const {
    std::lock_guard guard(mutex_);
    if (row < 0 || row >= rows_.size() || column < 0 || column >= kColumnCount)
        return {};
    return textOf(rows_[row], column);
}

int DeviceListModel::rowProgress(int row) const {
    std::lock_guard guard(mutex_);
    if (row < 0 || row >= rows_.size())
        return 0;
    return rows_[row].job ? rows_[row].job->progressValue() : rows_[row].progress;
}

std::shared_ptr<DeviceRecord> DeviceListModel::recordOfRow(int row) const {
    std::lock_guard guard(mutex_);
    if (row < 0 || row >= rows_.size())
        return nullptr;
    return rows_[row].record;
}

int DeviceListModel::rowOfRecord(const DeviceRecord* record) const {
    std::lock_guard guard(mutex_);
    return rowOfRecordLocked(record);
}

RowDisk DeviceListModel::diskOfRecord(const DeviceRecord* record) const {
    std::lock_guard guard(mutex_);
    for (const Row& row : rows_)
        if (row.record.get() == record)
            return {row.texts[DeviceColumn], row.texts[SizeColumn], row.texts[NameColumn],
                    row.devicePath};
    return {};
}

} // namespace kestrune
