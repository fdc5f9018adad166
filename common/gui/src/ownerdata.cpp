#include <common/gui/ownerdata.h>

#include <QHeaderView>
#include <QTableView>

#include <algorithm>

TOwnerDataModel::TOwnerDataModel(std::vector<Qt::Alignment> columnAlignment, CellText cellText,
                                 QObject *parent)
    : QAbstractTableModel(parent), FAlign(std::move(columnAlignment)), FCellText(std::move(cellText))
{
}

void TOwnerDataModel::SetItemCount(int count)
{
    count = std::max(count, 0);
    // Rows come and go at the end instead of through a reset, which would drop the user's
    // selection and scroll position; nothing is cached, so the view re-asks the rows it shows.
    if (count > FCount) {
        beginInsertRows(QModelIndex(), FCount, count - 1);
        FCount = count;
        endInsertRows();
    } else if (count < FCount) {
        beginRemoveRows(QModelIndex(), count, FCount - 1);
        FCount = count;
        endRemoveRows();
    }
    if (FCount > 0 && !FAlign.empty())
        emit dataChanged(index(0, 0), index(FCount - 1, static_cast<int>(FAlign.size()) - 1),
                         {Qt::DisplayRole});
}

int TOwnerDataModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : FCount;
}

int TOwnerDataModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(FAlign.size());
}

QVariant TOwnerDataModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= FCount || index.column() >= static_cast<int>(FAlign.size()))
        return {};
    if (role == Qt::DisplayRole)
        return FCellText ? FCellText(index.row(), index.column()) : QString();
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(FAlign[static_cast<size_t>(index.column())] | Qt::AlignVCenter);
    return {};
}

Qt::ItemFlags TOwnerDataModel::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

void SetupReportView(QTableView *view, const std::vector<int> &columnWidths, bool gridLines)
{
    view->horizontalHeader()->hide();
    view->verticalHeader()->hide();
    view->setShowGrid(gridLines);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setWordWrap(false);
    view->setTextElideMode(Qt::ElideRight);
    view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view->horizontalHeader()->setMinimumSectionSize(1);
    view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    const int rowHeight = view->fontMetrics().height() + 4;
    view->verticalHeader()->setMinimumSectionSize(1);
    view->verticalHeader()->setDefaultSectionSize(rowHeight);
    view->setContextMenuPolicy(Qt::PreventContextMenu);
    for (size_t c = 0; c < columnWidths.size(); ++c)
        view->setColumnWidth(static_cast<int>(c), columnWidths[c]);
}
