#pragma once

#include "devices/DeviceRecord.h"

#include <QObject>
#include <QString>
#include <QVector>
#include <memory>
#include <mutex>
#include <optional>

namespace kestrune {

// A disk as its row shows it, for the texts that must name it the same way.
struct RowDisk {
    QString device;  // vendor and product, the device column
    QString size;    // the size column
    QString volumes; // the name column
    QString path;    // the device node or image file
};

// A row's job. The row's job columns (progress, elapsed, time left, speed, status) are worked
// out from it whenever they are asked for: the model keeps no text of a job.
class RowJob {
public:
    virtual ~RowJob() = default;
    virtual int progressValue() const = 0;
    virtual QString cellText(int column) const = 0;
};

// What draws the rows (the window's list control). Each operation arrives on the thread of
// the view's context object, in the order the model took it.
class DeviceRowsView {
public:
    virtual ~DeviceRowsView() = default;
    virtual void applyInsertRow(int row, const std::shared_ptr<DeviceRecord>& record) = 0;
    virtual void applyDeleteRow(int row) = 0;
    virtual void applyCellText(int row, int column, const QString& text) = 0;
    virtual void applyAutoSizeColumn(int column) = 0;
    virtual void applyRowProgress(int row, int value) = 0;
    virtual void applyStartButtonText(std::uint32_t deviceNumber, const QString& text) = 0;
    virtual void applyStartButtonEnabled(std::uint32_t deviceNumber, bool enabled) = 0;
    virtual void applyDevicePath(int row, const QString& path) = 0;
    // The record's job moved on: the view asks the model for the row's job columns now.
    virtual void applyJobChanged(const DeviceRecord* record) = 0;
};

// The rows of the device list as every thread sees them. Each operation is applied at once
// to the rows any thread may read, and posted in the same order to the view on the GUI
// thread, so the view always goes through the same sequence of states and no thread ever
// waits for the GUI. A row's job columns are the job's: the view asks for them when the job
// moved on, and gets them as the job stands then.
class DeviceListModel {
public:
    static constexpr int kColumnCount = 9;
    enum Column {
        StartColumn = 0,
        NameColumn = 1,
        DeviceColumn = 2,
        ProgressColumn = 3,
        ElapsedColumn = 4,
        TimeLeftColumn = 5,
        SpeedColumn = 6,
        SizeColumn = 7,
        StatusColumn = 8
    };

    DeviceListModel() = default;
    // Where operations are posted: the view, on the thread of its context object (which
    // takes the view's pending operations with it when it goes); null for none.
    void attach(QObject* context, DeviceRowsView* view);

    void insertRow(int row, const std::shared_ptr<DeviceRecord>& record);
    void deleteRow(int row);
    void setCellText(int row, int column, const QString& text);
    void autoSizeColumn(int column);
    // The device node or image file the row stands for; the view tells two alike disks
    // apart by it.
    void setDevicePath(int row, const QString& path);
    // The row's progress value: the list item's data, shown by the row's bar.
    void SetRowProgress(int row, int value);
    void SetStartButtonText(std::uint32_t deviceNumber, const QString& text);
    void EnableStartButton(std::uint32_t deviceNumber);
    void DisableStartButton(std::uint32_t deviceNumber);

    // The record's row shows its job from now on; a text set on a job column afterwards
    // stands until the job moves on again.
    void showJob(const DeviceRecord* record, std::shared_ptr<const RowJob> job);
    // The record's job moved on: its row's job columns are the job's again, and the view
    // is told (autoSizeStatus: the status column grows to show its text whole).
    void jobChanged(const DeviceRecord* record, bool autoSizeStatus);
    static bool isJobColumn(int column);
    // The record's row as the view shows it: its progress and every column's text, worked
    // out now; empty when the record has no row.
    struct RowCells {
        int progress = 0;
        QString texts[kColumnCount];
    };
    std::optional<RowCells> cellsOf(const DeviceRecord* record) const;

    int rowCount() const;
    QString cellText(int row, int column) const;
    int rowProgress(int row) const;
    std::shared_ptr<DeviceRecord> recordOfRow(int row) const;
    // The row that shows this record now, or -1.
    int rowOfRecord(const DeviceRecord* record) const;
    // The disk of the record's row now; empty texts when it has no row. The rows' own lock
    // is all it takes, so any thread may ask, the window's too.
    RowDisk diskOfRecord(const DeviceRecord* record) const;

private:
    struct Row {
        std::shared_ptr<DeviceRecord> record;
        // The disk's own columns, and a job column's text set by hand (ownText).
        QString texts[kColumnCount];
        bool ownText[kColumnCount] = {};
        int progress = 0;
        QString devicePath;
        std::shared_ptr<const RowJob> job;
    };
    // Under mutex_.
    int rowOfRecordLocked(const DeviceRecord* record) const;
    static QString textOf(const Row& row, int column);
    template <typename Fn> void post(Fn&& fn);

    mutable std::mutex mutex_;
    QVector<Row> rows_;
    QObject* context_ = nullptr;
    DeviceRowsView* view_ = nullptr;
};

} // namespace kestrune
