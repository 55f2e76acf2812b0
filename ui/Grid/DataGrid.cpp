#include "DataGrid.h"

#include "Query.h"

#include <QEvent>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMetaObject>
#include <QPainter>
#include <QScrollBar>
#include <QVBoxLayout>

#include <functional>

namespace {

constexpr int kIndicatorWidth = 12;
constexpr qsizetype kMaxCellChars = 256;

// Draws the row indicator: a small black triangle beside the current row.
class IndicatorHeader : public QHeaderView {
public:
    explicit IndicatorHeader(QTableView* view) : QHeaderView(Qt::Vertical, view), view_(view) {
        setSectionResizeMode(QHeaderView::Fixed);
        setSectionsClickable(false);
        setFixedWidth(kIndicatorWidth);
    }

protected:
    void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override {
        painter->save();
        painter->fillRect(rect, palette().button());
        painter->setPen(palette().mid().color());
        painter->drawLine(rect.topRight(), rect.bottomRight());
        painter->drawLine(rect.bottomLeft(), rect.bottomRight());
        if (view_->currentIndex().isValid() && view_->currentIndex().row() == logicalIndex) {
            const QPoint c = rect.center();
            const QPolygon arrow({QPoint(c.x() - 2, c.y() - 4), QPoint(c.x() + 2, c.y()),
                                  QPoint(c.x() - 2, c.y() + 4)});
            painter->setPen(Qt::NoPen);
            painter->setBrush(palette().windowText());
            painter->drawPolygon(arrow);
        }
        painter->restore();
    }

private:
    QTableView* view_;
};

// The list view, telling of a double-click only once it has finished with the event: its
// own handling of that click selects the row under the pointer, and must not come after
// a command that reopened the list and moved its selection elsewhere.
class GridView : public QTableView {
public:
    GridView(QWidget* parent, std::function<void()> doubleClicked)
        : QTableView(parent), doubleClicked_(std::move(doubleClicked)) {}

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override {
        QTableView::mouseDoubleClickEvent(event);
        doubleClicked_();
    }

private:
    std::function<void()> doubleClicked_;
};

// A paragraph of many lines or megabytes still needs only one short line in a cell.
QString CellText(QString text) {
    if (text.size() > kMaxCellChars)
        text = text.left(kMaxCellChars) + QChar(0x2026);
    for (QChar& ch : text)
        if (ch == QLatin1Char('\n') || ch == QLatin1Char('\r') || ch == QLatin1Char('\t'))
            ch = QLatin1Char(' ');
    return text;
}

} // namespace

QueryModel::QueryModel(Query* query, std::vector<GridColumn> columns, QObject* parent)
    : QAbstractTableModel(parent), query_(query), columns_(std::move(columns)) {
    Reload();
}

void QueryModel::Reload() {
    beginResetModel();
    fieldColumns_.clear();
    for (const GridColumn& column : columns_)
        fieldColumns_.push_back(query_ && query_->Active() ? query_->FieldIndex(column.field) : -1);
    endResetModel();
}

void QueryModel::Redraw() {
    if (rowCount() > 0)
        emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1));
}

int QueryModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid() || !query_ || !query_->Active())
        return 0;
    return query_->RecordCount();
}

int QueryModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(columns_.size());
}

QVariant QueryModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || !query_ || !query_->Active())
        return {};
    switch (role) {
    case Qt::DisplayRole:
        return CellText(query_->TextAt(index.row(), fieldColumns_[index.column()]));
    case Qt::ToolTipRole:
    case Qt::AccessibleTextRole: {
        const QString text = query_->TextAt(index.row(), fieldColumns_[index.column()]);
        return text.size() > 4 * kMaxCellChars ? text.left(4 * kMaxCellChars) : text;
    }
    case Qt::TextAlignmentRole:
        return QVariant::fromValue(Qt::AlignCenter);
    default:
        return {};
    }
}

QVariant QueryModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && section >= 0 &&
        section < static_cast<int>(columns_.size())) {
        if (role == Qt::DisplayRole)
            return columns_[section].title;
        if (role == Qt::TextAlignmentRole)
            return QVariant::fromValue(Qt::AlignCenter);
    }
    if (orientation == Qt::Vertical && role == Qt::DisplayRole)
        return QString();
    return {};
}

Qt::ItemFlags QueryModel::flags(const QModelIndex& index) const {
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}

DataGrid::DataGrid(QWidget* parent)
    : QWidget(parent), view_(new GridView(this, [this] { ViewDoubleClicked(); })) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    view_->setObjectName(QStringLiteral("GridView"));
    view_->setVerticalHeader(new IndicatorHeader(view_));
    view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view_->setSelectionBehavior(QAbstractItemView::SelectRows);
    view_->setSelectionMode(QAbstractItemView::SingleSelection);
    view_->setSortingEnabled(false);
    view_->setShowGrid(true);
    view_->setWordWrap(false);
    view_->setTabKeyNavigation(false);
    view_->horizontalHeader()->setSectionsClickable(false);
    view_->horizontalHeader()->setHighlightSections(false);
    view_->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    view_->horizontalHeader()->setStretchLastSection(false);
    view_->horizontalHeader()->setDefaultAlignment(Qt::AlignCenter);
    view_->verticalHeader()->setDefaultSectionSize(QFontMetrics(font()).height() + 5);
    view_->viewport()->installEventFilter(this);
    layout->addWidget(view_, 1);

    // The footer is a row of its own below the view: it must stay visible however far
    // the list scrolls, and its cells follow the column edges.
    footer_ = new QWidget(this);
    footer_->setObjectName(QStringLiteral("GridFooter"));
    footer_->setAutoFillBackground(true);
    QPalette footerPalette = footer_->palette();
    footerPalette.setColor(QPalette::Window, footerPalette.color(QPalette::Base));
    footer_->setPalette(footerPalette);
    footer_->setFixedHeight(view_->verticalHeader()->defaultSectionSize() + 2);
    layout->addWidget(footer_);

    connect(view_->horizontalHeader(), &QHeaderView::sectionResized, this, &DataGrid::PlaceFooter);
    connect(view_->horizontalScrollBar(), &QScrollBar::valueChanged, this, &DataGrid::PlaceFooter);
}

void DataGrid::SetQuery(Query* query, std::vector<GridColumn> columns) {
    if (query_)
        disconnect(query_, nullptr, this, nullptr);
    query_ = query;
    for (QLabel* cell : footerCells_)
        delete cell;
    footerCells_.clear();
    delete model_;
    model_ = new QueryModel(query, columns, this);
    view_->setModel(model_);
    for (int i = 0; i < static_cast<int>(columns.size()); ++i) {
        view_->setColumnWidth(i, columns[i].width);
        auto* cell = new QLabel(footer_);
        cell->setAlignment(Qt::AlignCenter);
        cell->setObjectName(QStringLiteral("Footer%1").arg(i));
        cell->setFrameShape(QFrame::Box);
        cell->setFrameShadow(QFrame::Plain);
        cell->setLineWidth(1);
        QPalette p = cell->palette();
        p.setColor(QPalette::WindowText, palette().color(QPalette::Text));
        cell->setPalette(p);
        footerCells_.push_back(cell);
    }
    connect(view_->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) { ViewRowChanged(current); });
    connect(query, &Query::DataChanged, this, &DataGrid::QueryChanged);
    connect(query, &Query::AfterScroll, this, &DataGrid::QueryScrolled);
    connect(query, &Query::RowsChanged, model_, &QueryModel::Redraw);
    QueryChanged();
}

QString DataGrid::FooterText(int column) const {
    return column >= 0 && column < static_cast<int>(footerCells_.size())
               ? footerCells_[column]->text()
               : QString();
}

int DataGrid::CurrentRow() const {
    return view_->currentIndex().isValid() ? view_->currentIndex().row() : -1;
}

void DataGrid::QueryChanged() {
    syncing_ = true;
    model_->Reload();
    syncing_ = false;
    UpdateFooter();
    QueryScrolled();
}

void DataGrid::QueryScrolled() {
    if (!query_ || syncing_)
        return;
    const int row = query_->RecNo();
    if (row < 0 || row >= model_->rowCount()) {
        return;
    }
    if (view_->currentIndex().row() == row)
        return;
    syncing_ = true;
    const QModelIndex index = model_->index(row, std::max(0, view_->currentIndex().column()));
    view_->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect |
                                                        QItemSelectionModel::Rows);
    view_->scrollTo(index);
    view_->verticalHeader()->viewport()->update();
    syncing_ = false;
}

void DataGrid::ViewRowChanged(const QModelIndex& current) {
    view_->verticalHeader()->viewport()->update();
    if (syncing_ || !query_ || !current.isValid())
        return;
    query_->MoveTo(current.row());
}

void DataGrid::UpdateFooter() {
    const auto& columns = model_->Columns();
    for (size_t i = 0; i < columns.size(); ++i) {
        const QString text =
            columns[i].countRows ? QString::number(model_->rowCount()) : columns[i].footerText;
        footerCells_[i]->setText(text);
        footerCells_[i]->setAccessibleName(columns[i].title);
        footerCells_[i]->setAccessibleDescription(text);
    }
    PlaceFooter();
}

void DataGrid::PlaceFooter() {
    const int left = view_->frameWidth() + view_->verticalHeader()->width();
    const int height = footer_->height();
    for (size_t i = 0; i < footerCells_.size(); ++i) {
        const int column = static_cast<int>(i);
        footerCells_[i]->setGeometry(left + view_->columnViewportPosition(column), 0,
                                     view_->columnWidth(column) + 1, height);
    }
}

// The command runs once the event is wholly handled, on the row that was current at the
// double-click, even if something moved the list's row in between.
void DataGrid::ViewDoubleClicked() {
    doubleClicked_ = view_->currentIndex();
    QMetaObject::invokeMethod(this, "DoubleClickHandled", Qt::QueuedConnection);
}

void DataGrid::DoubleClickHandled() {
    if (query_ && doubleClicked_.isValid() && query_->RecNo() != doubleClicked_.row())
        query_->MoveTo(doubleClicked_.row());
    emit DblClick();
}

// Coming back to the window is when the user looks again: changes another copy made
// meanwhile show at once, without waiting for the next look at the file.
bool DataGrid::event(QEvent* event) {
    if (event->type() == QEvent::WindowActivate && query_)
        query_->CheckForChanges();
    return QWidget::event(event);
}

bool DataGrid::eventFilter(QObject* watched, QEvent* event) {
    if (watched == view_->viewport() && event->type() == QEvent::Resize)
        PlaceFooter();
    return QWidget::eventFilter(watched, event);
}
