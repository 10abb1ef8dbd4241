#include "controls/CListCtrlEx.h"
#include "devices/DeviceListModel.h"

#include <QCoreApplication>
#include <QHeaderView>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

using namespace kestrune;

namespace {

struct ListFixture {
    DeviceListModel model;
    CListCtrlEx list;
    std::vector<std::shared_ptr<DeviceRecord>> records;

    explicit ListFixture(int rows) {
        list.resize(500, 200);
        list.setColumnCount(DeviceListModel::kColumnCount);
        for (int i = 0; i < DeviceListModel::kColumnCount; ++i)
            list.setColumnWidth(i, 100);
        list.SetStartColumn(DeviceListModel::StartColumn);
        list.SetProgressColumn(DeviceListModel::ProgressColumn);
        list.SetDeviceModel(&model);
        for (int i = 0; i < rows; ++i) {
            auto record = std::make_shared<DeviceRecord>();
            record->deviceNumber = static_cast<std::uint32_t>(i + 2);
            records.push_back(record);
            model.insertRow(i, record);
        }
        QCoreApplication::processEvents();
        list.show();
        paint();
    }
    void paint() {
        QCoreApplication::processEvents();
        list.viewport()->repaint();
        QCoreApplication::processEvents();
    }
    QRect cell(int row, int column) const {
        const int left = list.horizontalHeader()->sectionViewportPosition(column);
        const int top = list.rowViewportPosition(row);
        return QRect(left + 2, top + 1, list.columnWidth(column) - 4, list.rowHeight(row) - 2);
    }
};

} // namespace

TEST(DeviceList, RowControlsSitInsideTheirCells) {
    ListFixture f(3);
    for (int row = 0; row < 3; ++row) {
        ASSERT_NE(f.list.startButtonOfRow(row), nullptr);
        EXPECT_EQ(f.list.startButtonOfRow(row)->geometry(), f.cell(row, 0));
        EXPECT_EQ(f.list.progressBarOfRow(row)->geometry(), f.cell(row, 3));
        EXPECT_EQ(f.list.startButtonOfRow(row)->property("controlId").toInt(), 1124 + row + 2);
    }
    EXPECT_GE(f.list.rowHeight(0), CListCtrlEx::kMinimumRowHeight);
}

TEST(DeviceList, OnlyVisibleRowsGetControlsUntilScrolledIntoView) {
    ListFixture f(40);
    EXPECT_NE(f.list.startButtonOfRow(0), nullptr);
    EXPECT_EQ(f.list.startButtonOfRow(39), nullptr);
    f.list.verticalScrollBar()->setValue(f.list.verticalScrollBar()->maximum());
    f.paint();
    ASSERT_NE(f.list.startButtonOfRow(39), nullptr);
    EXPECT_EQ(f.list.startButtonOfRow(39)->geometry(), f.cell(39, 0));
}

TEST(DeviceList, HorizontalScrollKeepsControlsInTheirColumns) {
    ListFixture f(2);
    f.list.horizontalScrollBar()->setValue(60);
    f.paint();
    EXPECT_EQ(f.list.progressBarOfRow(1)->geometry(), f.cell(1, 3));
    EXPECT_EQ(f.list.progressBarOfRow(1)->geometry().left(), 300 - 60 + 2);
}

TEST(DeviceList, ProgressCaptionAndStateFollowTheModel) {
    ListFixture f(2);
    f.model.SetRowProgress(1, 100);
    f.model.SetStartButtonText(3, QStringLiteral("Abort"));
    f.model.DisableStartButton(3);
    f.model.SetStartButtonText(77, QStringLiteral("nobody")); // no such record: nothing
    f.paint();
    EXPECT_EQ(f.list.progressBarOfRow(1)->value(), 100);
    EXPECT_EQ(f.list.progressBarOfRow(0)->value(), 0);
    EXPECT_EQ(f.list.startButtonOfRow(1)->text(), QStringLiteral("Abort"));
    EXPECT_FALSE(f.list.startButtonOfRow(1)->isEnabled());
    EXPECT_EQ(f.list.startButtonOfRow(0)->text(), QStringLiteral("Start"));
}

TEST(DeviceList, AClickReachesTheParentWithTheButtonsId) {
    ListFixture f(2);
    QSignalSpy forwarded(&f.list, &CListCtrlEx::commandForwarded);
    QTest::mouseClick(f.list.startButtonOfRow(1), Qt::LeftButton);
    ASSERT_EQ(forwarded.count(), 1);
    EXPECT_EQ(forwarded[0][0].toInt(), 0);
    EXPECT_EQ(forwarded[0][1].toInt(), 1124 + 3);
}

TEST(DeviceList, ADiskWithoutANumberHasNoButtonToPress) {
    ListFixture f(1);
    auto unnumbered = std::make_shared<DeviceRecord>();
    unnumbered->deviceNumber = kUnknownDeviceNumber;
    f.model.insertRow(1, unnumbered);
    f.paint();
    EXPECT_FALSE(f.list.startButtonOfRow(1)->isEnabled());
}

TEST(DeviceList, DeletedRowsTakeTheirControlsAlong) {
    ListFixture f(3);
    QPointer<QPushButton> middle = f.list.startButtonOfRow(1);
    f.model.deleteRow(1);
    f.paint();
    EXPECT_TRUE(middle.isNull());
    EXPECT_EQ(f.list.rowCount(), 2);
    EXPECT_EQ(f.list.recordOfRow(1)->deviceNumber, 4u);
    EXPECT_EQ(f.list.startButtonOfRow(1)->geometry(), f.cell(1, 0));
}
