#pragma once
// Owner-data list: the model keeps only a row count and asks its owner for a cell's text when
// the view draws it, so a long table costs nothing to refresh. When the count changes, rows are
// added or removed at the end and the rest are re-asked, so the user's selection and the scroll
// position stay where they were.

#include <QAbstractTableModel>
#include <QString>

#include <functional>
#include <vector>

class QTableView;

class TOwnerDataModel : public QAbstractTableModel {
    Q_OBJECT
public:
    /// Text of one cell: row index, column index.
    using CellText = std::function<QString(int row, int column)>;

    TOwnerDataModel(std::vector<Qt::Alignment> columnAlignment, CellText cellText, QObject *parent = nullptr);

    /// Sets the item count (a negative one counts as 0); the view asks again for whatever it
    /// shows.
    void SetItemCount(int count);
    int ItemCount() const { return FCount; }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

private:
    std::vector<Qt::Alignment> FAlign;
    CellText FCellText;
    int FCount = 0;
};

/// Sets up a table view as a report list without column headers: fixed column widths, fixed
/// row height, read-only, whole-row selection. Call after the model and the font are set.
void SetupReportView(QTableView *view, const std::vector<int> &columnWidths, bool gridLines);
