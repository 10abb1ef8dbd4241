#include "controls/DeviceListAccessibility.h"

#include "controls/CListCtrlEx.h"
#include "controls/FocusFrame.h"

#include <QAccessibleWidget>
#include <QHash>
#include <QHeaderView>
#include <QPainter>
#include <QPointer>

namespace kestrune {
namespace {

// The row control's cell: the start or the progress cell of its row.
QAccessibleInterface* cellOfControl(CListCtrlEx* list, QWidget* control) {
    if (!list)
        return nullptr;
    const int row = list->rowOfControl(control);
    const int column =
        qobject_cast<RowButton*>(control) ? list->startColumn() : list->progressColumn();
    QAccessibleInterface* table = QAccessible::queryAccessibleInterface(list);
    return row >= 0 && table && table->tableInterface()
               ? table->tableInterface()->cellAt(row, column)
               : nullptr;
}

class RowButtonAccessible final : public QAccessibleWidget {
public:
    explicit RowButtonAccessible(RowButton* button)
        : QAccessibleWidget(button, QAccessible::Button) {}
    RowButton* button() const { return static_cast<RowButton*>(widget()); }

    QAccessibleInterface* parent() const override {
        if (QAccessibleInterface* cell = cellOfControl(button()->list(), button()))
            return cell;
        return QAccessibleWidget::parent();
    }
    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name)
            return button()->accessibleLabel().isEmpty() ? button()->text()
                                                         : button()->accessibleLabel();
        return QAccessibleWidget::text(t);
    }
    QAccessible::State state() const override {
        QAccessible::State state = QAccessibleWidget::state();
        state.pressed = button()->isDown();
        return state;
    }
    QStringList actionNames() const override {
        QStringList names;
        if (button()->isEnabled())
            names << pressAction();
        return names + QAccessibleWidget::actionNames();
    }
    void doAction(const QString& action) override {
        if (action == pressAction() && button()->isEnabled())
            button()->click();
        else
            QAccessibleWidget::doAction(action);
    }
};

class RowProgressAccessible final : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit RowProgressAccessible(RowProgressBar* bar)
        : QAccessibleWidget(bar, QAccessible::ProgressBar) {}
    RowProgressBar* bar() const { return static_cast<RowProgressBar*>(widget()); }

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }
    QAccessibleInterface* parent() const override {
        if (QAccessibleInterface* cell = cellOfControl(bar()->list(), bar()))
            return cell;
        return QAccessibleWidget::parent();
    }
    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name && !bar()->accessibleLabel().isEmpty())
            return bar()->accessibleLabel();
        if (t == QAccessible::Value)
            return QStringLiteral("%1%").arg(bar()->value());
        return QAccessibleWidget::text(t);
    }
    QVariant currentValue() const override { return bar()->value(); }
    void setCurrentValue(const QVariant&) override {}
    QVariant maximumValue() const override { return bar()->maximum(); }
    QVariant minimumValue() const override { return bar()->minimum(); }
    QVariant minimumStepSize() const override { return 1; }
};

class DeviceListAccessible;

// One cell of the list, or with row -1 one of its column headings. The start and progress
// cells hold their row's control as their one child.
class ListCell final : public QAccessibleInterface, public QAccessibleTableCellInterface {
public:
    ListCell(CListCtrlEx* list, int row, int column) : list_(list), row_(row), column_(column) {}

    bool isValid() const override {
        return list_ && row_ < list_->rowCount() && column_ < list_->columnCount();
    }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override { return list_ ? list_->window()->windowHandle() : nullptr; }
    QAccessibleInterface* parent() const override {
        return QAccessible::queryAccessibleInterface(list_.data());
    }
    QWidget* control() const {
        if (!list_ || row_ < 0)
            return nullptr;
        if (column_ == list_->startColumn())
            return list_->startButtonOfRow(row_);
        if (column_ == list_->progressColumn())
            return list_->progressBarOfRow(row_);
        return nullptr;
    }
    int childCount() const override { return control() ? 1 : 0; }
    QAccessibleInterface* child(int index) const override {
        QWidget* widget = control();
        return index == 0 && widget ? QAccessible::queryAccessibleInterface(widget) : nullptr;
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        return child && control() && child->object() == control() ? 0 : -1;
    }
    QAccessibleInterface* childAt(int x, int y) const override {
        QAccessibleInterface* inside = child(0);
        return inside && inside->rect().contains(x, y) ? inside : nullptr;
    }
    QAccessibleInterface* focusChild() const override {
        QWidget* widget = control();
        return widget && widget->hasFocus() ? child(0) : nullptr;
    }
    QString text(QAccessible::Text t) const override {
        if (!isValid() || t != QAccessible::Name)
            return QString();
        if (row_ < 0) {
            const QTableWidgetItem* heading = list_->horizontalHeaderItem(column_);
            return heading ? heading->text() : QString();
        }
        const QTableWidgetItem* cell = list_->item(row_, column_);
        if (!cell)
            return QString();
        const QString spoken = cell->data(Qt::AccessibleTextRole).toString();
        return spoken.isEmpty() ? cell->text() : spoken;
    }
    void setText(QAccessible::Text, const QString&) override {}
    QRect rect() const override {
        if (!isValid())
            return {};
        if (row_ < 0) {
            QHeaderView* header = list_->horizontalHeader();
            const QRect section(header->sectionViewportPosition(column_), 0,
                                header->sectionSize(column_), header->height());
            return QRect(header->viewport()->mapToGlobal(section.topLeft()), section.size());
        }
        const QRect cell = list_->visualRect(list_->model()->index(row_, column_));
        return QRect(list_->viewport()->mapToGlobal(cell.topLeft()), cell.size());
    }
    QAccessible::Role role() const override {
        return row_ < 0 ? QAccessible::ColumnHeader : QAccessible::Cell;
    }
    QAccessible::State state() const override {
        QAccessible::State state;
        if (!isValid())
            return state;
        const QRect shown = list_->viewport()->rect();
        if (row_ >= 0 && !shown.intersects(list_->visualRect(list_->model()->index(row_, 0))))
            state.invisible = state.offscreen = true;
        if (row_ >= 0) {
            state.selectable = true;
            state.selected = isSelected();
            state.focusable = true;
            state.focused = list_->hasFocus() && list_->currentRow() == row_ &&
                            list_->currentColumn() == column_;
        }
        return state;
    }
    void* interface_cast(QAccessible::InterfaceType type) override {
        return type == QAccessible::TableCellInterface
                   ? static_cast<QAccessibleTableCellInterface*>(this)
                   : nullptr;
    }

    bool isSelected() const override {
        return isValid() && row_ >= 0 && list_->selectionModel() &&
               list_->selectionModel()->isRowSelected(row_, QModelIndex());
    }
    int columnExtent() const override { return 1; }
    int rowExtent() const override { return 1; }
    QList<QAccessibleInterface*> columnHeaderCells() const override;
    QList<QAccessibleInterface*> rowHeaderCells() const override { return {}; }
    int columnIndex() const override { return column_; }
    int rowIndex() const override { return row_; }
    QAccessibleInterface* table() const override { return parent(); }

private:
    QPointer<CListCtrlEx> list_;
    int row_;
    int column_;
};

// The list as a table whose cells hold the rows' controls. Cells live until the rows or
// columns change; their ids are then given up, as the toolkit's own tables do.
class DeviceListAccessible final : public QAccessibleWidget, public QAccessibleTableInterface {
public:
    explicit DeviceListAccessible(CListCtrlEx* list)
        : QAccessibleWidget(list, QAccessible::Table) {}
    ~DeviceListAccessible() override { forgetCells(); }
    CListCtrlEx* list() const { return static_cast<CListCtrlEx*>(widget()); }

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::TableInterface)
            return static_cast<QAccessibleTableInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }
    int headingCount() const { return list()->horizontalHeader()->isHidden() ? 0 : columnCount(); }
    int childCount() const override { return headingCount() + rowCount() * columnCount(); }
    QAccessibleInterface* child(int index) const override {
        const int columns = columnCount();
        if (index < 0 || columns == 0 || index >= childCount())
            return nullptr;
        if (index < headingCount())
            return cell(-1, index);
        index -= headingCount();
        return cell(index / columns, index % columns);
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        const auto* tableCell =
            child ? const_cast<QAccessibleInterface*>(child)->tableCellInterface() : nullptr;
        if (!tableCell || child->parent() != this)
            return -1;
        if (tableCell->rowIndex() < 0)
            return tableCell->columnIndex();
        return headingCount() + tableCell->rowIndex() * columnCount() + tableCell->columnIndex();
    }
    QAccessibleInterface* childAt(int x, int y) const override {
        const QPoint inViewport = list()->viewport()->mapFromGlobal(QPoint(x, y));
        const QModelIndex index = list()->indexAt(inViewport);
        return index.isValid() ? cell(index.row(), index.column()) : nullptr;
    }
    QAccessibleInterface* focusChild() const override {
        for (int row = 0; row < rowCount(); ++row)
            for (QWidget* control : {static_cast<QWidget*>(list()->startButtonOfRow(row)),
                                     static_cast<QWidget*>(list()->progressBarOfRow(row))})
                if (control && control->hasFocus())
                    return cellOfControl(list(), control);
        if (list()->hasFocus() && list()->currentRow() >= 0)
            return cell(list()->currentRow(), std::max(list()->currentColumn(), 0));
        return nullptr;
    }

    QAccessibleInterface* cellAt(int row, int column) const override {
        if (row < 0 || row >= rowCount() || column < 0 || column >= columnCount())
            return nullptr;
        return cell(row, column);
    }
    QAccessibleInterface* caption() const override { return nullptr; }
    QAccessibleInterface* summary() const override { return nullptr; }
    QString columnDescription(int column) const override {
        const QTableWidgetItem* heading = list()->horizontalHeaderItem(column);
        return heading ? heading->text() : QString();
    }
    QString rowDescription(int) const override { return QString(); }
    int columnCount() const override { return list()->columnCount(); }
    int rowCount() const override { return list()->rowCount(); }
    int selectedCellCount() const override { return selectedRowCount() * columnCount(); }
    int selectedColumnCount() const override { return 0; }
    int selectedRowCount() const override { return static_cast<int>(selectedRows().size()); }
    QList<QAccessibleInterface*> selectedCells() const override {
        QList<QAccessibleInterface*> cells;
        for (int row : selectedRows())
            for (int column = 0; column < columnCount(); ++column)
                cells << cell(row, column);
        return cells;
    }
    QList<int> selectedColumns() const override { return {}; }
    QList<int> selectedRows() const override {
        QList<int> rows;
        if (list()->selectionModel())
            for (const QModelIndex& index : list()->selectionModel()->selectedRows())
                rows << index.row();
        return rows;
    }
    bool isColumnSelected(int) const override { return false; }
    bool isRowSelected(int row) const override { return selectedRows().contains(row); }
    bool selectRow(int row) override {
        list()->selectRow(row);
        return true;
    }
    bool selectColumn(int) override { return false; }
    bool unselectRow(int row) override {
        if (list()->selectionModel())
            list()->selectionModel()->select(list()->model()->index(row, 0),
                                             QItemSelectionModel::Deselect |
                                                 QItemSelectionModel::Rows);
        return true;
    }
    bool unselectColumn(int) override { return false; }
    void modelChange(QAccessibleTableModelChangeEvent* event) override {
        // A changed text is read afresh when asked; rows or columns that come or go move
        // every cell after them.
        if (event->modelChangeType() != QAccessibleTableModelChangeEvent::DataChanged)
            forgetCells();
    }

private:
    static quint64 key(int row, int column) {
        return (static_cast<quint64>(static_cast<quint32>(row)) << 32) |
               static_cast<quint32>(column);
    }
    QAccessibleInterface* cell(int row, int column) const {
        const quint64 k = key(row, column);
        if (const auto found = cells_.constFind(k); found != cells_.constEnd())
            if (QAccessibleInterface* known = QAccessible::accessibleInterface(*found))
                return known;
        auto* made = new ListCell(list(), row, column);
        cells_.insert(k, QAccessible::registerAccessibleInterface(made));
        return made;
    }
    void forgetCells() {
        for (QAccessible::Id id : std::as_const(cells_))
            QAccessible::deleteAccessibleInterface(id);
        cells_.clear();
    }

    mutable QHash<quint64, QAccessible::Id> cells_;
};

QList<QAccessibleInterface*> ListCell::columnHeaderCells() const {
    QAccessibleInterface* table = parent();
    if (!table || row_ < 0 || !list_ || list_->horizontalHeader()->isHidden())
        return {};
    return {table->child(column_)};
}

class NoticeAccessible final : public QAccessibleWidget {
public:
    explicit NoticeAccessible(QWidget* notice)
        : QAccessibleWidget(notice, QAccessible::Notification) {}
};

// An announcement's object: nothing to see, nothing to click.
class Notice final : public QWidget {
public:
    explicit Notice(QWidget* window) : QWidget(window) {
        setObjectName(QStringLiteral("statusNotice"));
        setProperty("kestruneNotice", true);
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setFocusPolicy(Qt::NoFocus);
        setGeometry(0, 0, 1, 1);
        hide();
    }
};

QAccessibleInterface* deviceListFactory(const QString& className, QObject* object) {
    if (className == QLatin1String("kestrune::CListCtrlEx"))
        return new DeviceListAccessible(static_cast<CListCtrlEx*>(object));
    if (className == QLatin1String("kestrune::RowButton"))
        return new RowButtonAccessible(static_cast<RowButton*>(object));
    if (className == QLatin1String("kestrune::RowProgressBar"))
        return new RowProgressAccessible(static_cast<RowProgressBar*>(object));
    if (className == QLatin1String("QWidget") && object &&
        object->objectName() == QLatin1String("statusNotice") &&
        object->property("kestruneNotice").toBool())
        return new NoticeAccessible(static_cast<QWidget*>(object));
    return nullptr;
}

} // namespace

RowButton::RowButton(const QString& text, CListCtrlEx* list, QWidget* parent)
    : QPushButton(text, parent), list_(list) {}

void RowButton::setAccessibleLabel(const QString& label, bool notify) {
    if (label == label_)
        return;
    label_ = label;
    if (notify) {
        QAccessibleEvent event(this, QAccessible::NameChanged);
        QAccessible::updateAccessibility(&event);
    }
}

void RowButton::paintEvent(QPaintEvent* event) {
    QPushButton::paintEvent(event);
    // The program's focus frame over the style's look.
    if (hasFocus()) {
        QPainter painter(this);
        DrawFocusFrame(painter, rect());
    }
}

RowProgressBar::RowProgressBar(CListCtrlEx* list, QWidget* parent)
    : QProgressBar(parent), list_(list) {}

void RowProgressBar::setAccessibleLabel(const QString& label) {
    if (label == label_)
        return;
    label_ = label;
    QAccessibleEvent event(this, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&event);
}

StatusAnnouncer::StatusAnnouncer(QWidget* window) : QObject(window) {
    for (int i = 0; i < 4; ++i) {
        notices_ << new Notice(window);
    }
}

void StatusAnnouncer::announce(const QString& text) {
    QWidget* notice = notices_[next_];
    next_ = (next_ + 1) % notices_.size();
    // Appearing is what a screen reader speaks of a notification: hidden first, named,
    // then shown.
    notice->hide();
    notice->setAccessibleName(text);
    notice->show();
}

void InstallDeviceListAccessibility() {
    static const bool installed = [] {
        QAccessible::installFactory(deviceListFactory);
        return true;
    }();
    Q_UNUSED(installed);
}

} // namespace kestrune
