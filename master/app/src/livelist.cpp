#include "livelist.h"

TLiveListModel::TLiveListModel(std::vector<Qt::Alignment> columnAlignment, CellText cellText, QObject *parent)
    : QAbstractTableModel(parent), FAlign(std::move(columnAlignment)), FCellText(std::move(cellText))
{
}

void TLiveListModel::SetItemCount(int count)
{
    count = std::max(count, 0);
    if (count > FCount) {
        beginInsertRows(QModelIndex(), FCount, count - 1);
        FCount = count;
        endInsertRows();
    } else if (count < FCount) {
        beginRemoveRows(QModelIndex(), count, FCount - 1);
        FCount = count;
        endRemoveRows();
    }
    if (FCount > 0)
        emit dataChanged(index(0, 0), index(FCount - 1, static_cast<int>(FAlign.size()) - 1),
                         {Qt::DisplayRole});
}

int TLiveListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : FCount;
}

int TLiveListModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(FAlign.size());
}

QVariant TLiveListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= FCount || index.column() >= static_cast<int>(FAlign.size()))
        return {};
    if (role == Qt::DisplayRole)
        return FCellText ? FCellText(index.row(), index.column()) : QString();
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(FAlign[static_cast<std::size_t>(index.column())] | Qt::AlignVCenter);
    return {};
}

Qt::ItemFlags TLiveListModel::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}
