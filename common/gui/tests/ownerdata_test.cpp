#include <common/gui/ownerdata.h>

#include <QAbstractItemModelTester>
#include <QItemSelectionModel>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <vector>

namespace {

// A table the model reads through its cell callback: "r<row>c<column>/<generation>".
struct Table {
    int generation = 0;
    QString Cell(int row, int column) const
    {
        return QStringLiteral("r%1c%2/%3").arg(row).arg(column).arg(generation);
    }
};

} // namespace

TEST(OwnerDataModel, CountChangesAddAndRemoveRowsAtTheEndWithoutAReset)
{
    Table table;
    TOwnerDataModel model({Qt::AlignLeft, Qt::AlignHCenter},
                          [&table](int r, int c) { return table.Cell(r, c); });
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);

    struct Step {
        int count;
        int rows;                      // rows afterwards
        int firstChanged, lastChanged; // range inserted or removed; -1 for none
        bool grows;
    };
    const Step steps[] = {
        {3, 3, 0, 2, true},  {5, 5, 3, 4, true},     {5, 5, -1, -1, false}, {2, 2, 2, 4, false},
        {0, 0, 0, 1, false}, {-4, 0, -1, -1, false}, {1, 1, 0, 0, true},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.count);
        inserted.clear();
        removed.clear();
        model.SetItemCount(s.count);
        EXPECT_EQ(model.rowCount(), s.rows);
        EXPECT_EQ(model.ItemCount(), s.rows);
        QSignalSpy &moved = s.grows ? inserted : removed;
        if (s.firstChanged < 0) {
            EXPECT_TRUE(inserted.isEmpty());
            EXPECT_TRUE(removed.isEmpty());
        } else {
            ASSERT_EQ(moved.size(), 1);
            EXPECT_EQ(moved[0][1].toInt(), s.firstChanged);
            EXPECT_EQ(moved[0][2].toInt(), s.lastChanged);
            EXPECT_TRUE((s.grows ? removed : inserted).isEmpty());
        }
    }
    EXPECT_TRUE(resets.isEmpty());
}

TEST(OwnerDataModel, CellsAreReAskedAndTheSelectionStays)
{
    Table table;
    TOwnerDataModel model({Qt::AlignLeft, Qt::AlignHCenter},
                          [&table](int r, int c) { return table.Cell(r, c); });
    QItemSelectionModel selection(&model);
    model.SetItemCount(4);
    selection.select(model.index(2, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);

    // The owner's table changed and grew by one row: every row shows the new text.
    table.generation = 1;
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    model.SetItemCount(5);
    ASSERT_EQ(changed.size(), 1);
    EXPECT_EQ(changed[0][0].toModelIndex(), model.index(0, 0));
    EXPECT_EQ(changed[0][1].toModelIndex(), model.index(4, 1));
    EXPECT_EQ(model.data(model.index(0, 1), Qt::DisplayRole).toString(), QStringLiteral("r0c1/1"));
    EXPECT_EQ(model.data(model.index(4, 0), Qt::DisplayRole).toString(), QStringLiteral("r4c0/1"));
    EXPECT_EQ(model.data(model.index(4, 1), Qt::TextAlignmentRole).value<Qt::Alignment>(),
              Qt::AlignHCenter | Qt::AlignVCenter);
    EXPECT_FALSE(model.data(model.index(5, 0), Qt::DisplayRole).isValid()) << "no row past the count";

    ASSERT_EQ(selection.selectedRows().size(), 1);
    EXPECT_EQ(selection.selectedRows()[0].row(), 2);
    model.SetItemCount(3);
    ASSERT_EQ(selection.selectedRows().size(), 1) << "a row above the removed ones keeps its selection";
    EXPECT_EQ(selection.selectedRows()[0].row(), 2);
}
