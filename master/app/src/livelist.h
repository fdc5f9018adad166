#pragma once
// Owner-data list whose count follows a table without resetting the view: rows are added or
// removed at the end and the rest are re-asked, so the user's selection and the scroll
// position stay where they were.

#include <QAbstractTableModel>
#include <QString>

#include <functional>
#include <vector>

class TLiveListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    /// Text of one cell: row index, column index.
    using CellText = std::function<QString(int row, int column)>;

    TLiveListModel(std::vector<Qt::Alignment> columnAlignment, CellText cellText, QObject *parent = nullptr);

    /// Sets the item count; the view asks again for whatever it shows.
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
