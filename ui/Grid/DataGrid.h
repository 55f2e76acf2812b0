#pragma once

#include <QAbstractTableModel>
#include <QPersistentModelIndex>
#include <QPointer>
#include <QString>
#include <QTableView>
#include <QWidget>

#include <vector>

class QHBoxLayout;
class QLabel;
class Query;

// One column of a grid: the field it shows, its title, width and footer.
struct GridColumn {
    QString field;
    QString title;
    int width = 64;
    // Footer: a fixed text, or the number of rows when countRows is set.
    QString footerText;
    bool countRows = false;
};

// Presents a query's snapshot as a table. It reads rows lazily, so a result of any
// size costs nothing until it is drawn.
class QueryModel : public QAbstractTableModel {
    Q_OBJECT
public:
    QueryModel(Query* query, std::vector<GridColumn> columns, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    const std::vector<GridColumn>& Columns() const { return columns_; }
    void Reload();
    // The same rows, values perhaps changed: drawn again where they are.
    void Redraw();

private:
    // Guarded: a window's query may go before the grid that shows it.
    QPointer<Query> query_;
    std::vector<GridColumn> columns_;
    // Field positions in the current result, looked up once per open.
    std::vector<int> fieldColumns_;
};

// The read-only, whole-row grid used by both lists: title row, a row indicator on the
// left, and a footer row below. The grid's current row and the query's current row
// are kept the same in both directions, so windows only listen to the query.
class DataGrid : public QWidget {
    Q_OBJECT
public:
    explicit DataGrid(QWidget* parent = nullptr);

    void SetQuery(Query* query, std::vector<GridColumn> columns);
    QTableView* View() const { return view_; }
    QString FooterText(int column) const;
    int CurrentRow() const;

signals:
    // A double-click anywhere on the grid, rows or not, once the view has handled it.
    void DblClick();

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void QueryChanged();
    void QueryScrolled();
    void ViewDoubleClicked();
    Q_INVOKABLE void DoubleClickHandled();
    void ViewRowChanged(const QModelIndex& current);
    void UpdateFooter();
    void PlaceFooter();

    QPointer<Query> query_;
    QTableView* view_;
    QueryModel* model_ = nullptr;
    QWidget* footer_;
    std::vector<QLabel*> footerCells_;
    bool syncing_ = false;
    QPersistentModelIndex doubleClicked_;
};
