#include "visuallogtablemodel.h"

#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QHeaderView>
#include <QIdentityProxyModel>
#include <QSet>
#include <QSignalSpy>
#include <QTableView>
#include <string>

#include "artwork.h"
#include "guitestkit.h"
#include "logcolumns.h"

namespace zf::ui {
namespace {

VisualLogEntry Entry(int n, std::int32_t status = 1) {
  VisualLogEntry entry;
  entry.inputName = "in" + std::to_string(n) + ".pdf";
  entry.outputName = status == 1 ? "out" + std::to_string(n) + ".pdf" : "";
  entry.time = "09.12.2024 15:13:" + std::to_string(n % 60);
  entry.comment = status == 1 ? "Renamed" : "Cannot copy";
  entry.status = status;
  return entry;
}

QString Cell(const QAbstractItemModel& model, int row, int column, int role = Qt::DisplayRole) {
  return model.data(model.index(row, column), role).toString();
}

QImage IconImage(const QVariant& decoration) {
  return decoration.value<QIcon>().pixmap(16).toImage().convertToFormat(QImage::Format_ARGB32);
}

// Range of one rowsInserted / rowsRemoved emission.
std::pair<int, int> Range(const QList<QVariant>& arguments) {
  return {arguments.at(1).toInt(), arguments.at(2).toInt()};
}

TEST(VisualLogTableModel, ShowsFourColumnsOfEachRowInOrder) {
  VisualLogTableModel model;
  QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
  EXPECT_EQ(model.rowCount(), 0);
  ASSERT_EQ(model.columnCount(), 4);
  const QStringList headers{"Input", "Output", "Time", "Comment"};
  for (int column = 0; column < 4; ++column)
    EXPECT_EQ(model.headerData(column, Qt::Horizontal).toString(), headers[column]);

  model.Append(Entry(1), 1000);
  model.Append(Entry(2, 2), 1000);
  model.Append(Entry(3), 1000);
  ASSERT_EQ(model.rowCount(), 3);
  EXPECT_EQ(Cell(model, 0, 0), "in1.pdf");
  EXPECT_EQ(Cell(model, 0, 1), "out1.pdf");
  EXPECT_EQ(Cell(model, 0, 2), "09.12.2024 15:13:1");
  EXPECT_EQ(Cell(model, 0, 3), "Renamed");
  EXPECT_EQ(Cell(model, 2, 0), "in3.pdf");
  EXPECT_EQ(Cell(model, 1, 0, Qt::AccessibleTextRole), "in2.pdf");
  EXPECT_FALSE(model.flags(model.index(0, 0)).testFlag(Qt::ItemIsEditable));
  EXPECT_TRUE(model.flags(model.index(0, 0)).testFlag(Qt::ItemIsSelectable));
}

TEST(VisualLogTableModel, FailureWithoutNameShowsEmptyOutputAndRedMarker) {
  VisualLogTableModel model;
  model.Append(Entry(1), 1000);
  model.Append(Entry(2, 2), 1000);

  EXPECT_EQ(Cell(model, 1, 1), "");
  EXPECT_EQ(Cell(model, 1, 3), "Cannot copy");
  const QImage green = IconImage(StatusIcon(1));
  const QImage red = IconImage(StatusIcon(2));
  ASSERT_NE(green, red);
  EXPECT_EQ(IconImage(model.data(model.index(0, 0), Qt::DecorationRole)), green);
  EXPECT_EQ(IconImage(model.data(model.index(1, 0), Qt::DecorationRole)), red);
  // The marker belongs to the row's caption only.
  for (int column = 1; column < 4; ++column)
    EXPECT_FALSE(model.data(model.index(1, column), Qt::DecorationRole).isValid()) << column;
}

TEST(VisualLogTableModel, ToolTipGivesQueueAndReasonOnEveryColumn) {
  struct Case {
    const char* queue;
    const char* reason;
    const char* comment;
    const char* expected;  // nullptr: no tooltip
  };
  const Case cases[] = {
      {"Sport", "No space left on device", "Cannot copy", "Sport: No space left on device"},
      {"", "No space left on device", "Cannot copy", "No space left on device"},
      {"Sport", "", "Renamed", "Sport: Renamed"},
      {"", "", "Renamed", "Renamed"},
      {"Sport", "", "", "Sport"},
      {"", "", "", nullptr},
  };
  VisualLogTableModel model;
  for (const Case& c : cases) {
    VisualLogEntry entry = Entry(1, 2);
    entry.queue = c.queue;
    entry.reason = c.reason;
    entry.comment = c.comment;
    model.Append(entry, 1000);
  }
  for (int row = 0; row < model.rowCount(); ++row) {
    for (int column = 0; column < 4; ++column) {
      SCOPED_TRACE(testing::Message() << "row " << row << " column " << column);
      const QVariant tip = model.data(model.index(row, column), Qt::ToolTipRole);
      if (cases[row].expected == nullptr) {
        EXPECT_FALSE(tip.isValid());
      } else {
        EXPECT_EQ(tip.toString(), QString(cases[row].expected));
      }
    }
  }
}

TEST(VisualLogTableModel, BoundZeroKeepsExactlyTheNewestRow) {
  VisualLogTableModel model;
  QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
  for (int n = 1; n <= 4; ++n) {
    model.Append(Entry(n), 0);
    ASSERT_EQ(model.rowCount(), 1);
    EXPECT_EQ(Cell(model, 0, 0), QString("in%1.pdf").arg(n));
  }
}

TEST(VisualLogTableModel, DefaultBoundKeeps1001RowsAndDropsTheOldest) {
  VisualLogTableModel model;
  for (int n = 1; n <= 1001; ++n) model.Append(Entry(n), 1000);
  ASSERT_EQ(model.rowCount(), 1001);
  EXPECT_EQ(Cell(model, 0, 0), "in1.pdf");

  QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
  QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
  model.Append(Entry(1002), 1000);
  EXPECT_EQ(model.rowCount(), 1001);
  EXPECT_EQ(Cell(model, 0, 0), "in2.pdf");
  EXPECT_EQ(Cell(model, 1000, 0), "in1002.pdf");
  ASSERT_EQ(removed.count(), 1);
  EXPECT_EQ(Range(removed.at(0)), std::make_pair(0, 0));
  ASSERT_EQ(inserted.count(), 1);
  EXPECT_EQ(Range(inserted.at(0)), std::make_pair(1000, 1000));
}

TEST(VisualLogTableModel, LoweredBoundTrimsAtTheNextAppendInOneRemoval) {
  VisualLogTableModel model;
  for (int n = 1; n <= 1001; ++n) model.Append(Entry(n), 1000);
  QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);

  // The order of the brackets, as a view sees them.
  QStringList events;
  QObject::connect(
      &model, &QAbstractItemModel::rowsAboutToBeRemoved, &model,
      [&](const QModelIndex&, int first, int last) {
        events << QString("removing %1-%2 of %3").arg(first).arg(last).arg(model.rowCount());
      });
  QObject::connect(
      &model, &QAbstractItemModel::rowsRemoved, &model,
      [&](const QModelIndex&, int first, int last) {
        events << QString("removed %1-%2 leaving %3").arg(first).arg(last).arg(model.rowCount());
      });
  QObject::connect(&model, &QAbstractItemModel::rowsAboutToBeInserted, &model,
                   [&](const QModelIndex&, int first, int last) {
                     events << QString("inserting %1-%2").arg(first).arg(last);
                   });
  QObject::connect(
      &model, &QAbstractItemModel::rowsInserted, &model,
      [&](const QModelIndex&, int first, int last) {
        events << QString("inserted %1-%2 making %3").arg(first).arg(last).arg(model.rowCount());
      });

  model.Append(Entry(1002), 10);
  EXPECT_EQ(events, QStringList({"removing 0-990 of 1001", "removed 0-990 leaving 10",
                                 "inserting 10-10", "inserted 10-10 making 11"}));
  ASSERT_EQ(model.rowCount(), 11);
  EXPECT_EQ(Cell(model, 0, 0), "in992.pdf");
  EXPECT_EQ(Cell(model, 10, 0), "in1002.pdf");

  // Below the bound nothing more goes.
  events.clear();
  model.Append(Entry(1003), 10);
  EXPECT_EQ(events, QStringList({"removing 0-0 of 11", "removed 0-0 leaving 10", "inserting 10-10",
                                 "inserted 10-10 making 11"}));
  events.clear();
  model.Append(Entry(1004), 20);
  EXPECT_EQ(events, QStringList({"inserting 11-11", "inserted 11-11 making 12"}));
}

// Counts the cells a view asks to display.
class CountingProxy final : public QIdentityProxyModel {
 public:
  QVariant data(const QModelIndex& index, int role) const override {
    if (role == Qt::DisplayRole) askedRows.insert(index.row());
    return QIdentityProxyModel::data(index, role);
  }
  mutable QSet<int> askedRows;
};

TEST(VisualLogTableModel, TenThousandRowsShowOnlyWhatIsVisible) {
  VisualLogTableModel model;
  for (int n = 1; n <= 10000; ++n) model.Append(Entry(n, n % 2 + 1), 10000);
  ASSERT_EQ(model.rowCount(), 10000);

  CountingProxy proxy;
  proxy.setSourceModel(&model);
  QTableView view;
  view.setModel(&proxy);
  view.resize(500, 300);
  view.show();
  view.scrollToBottom();
  (void)view.grab();
  EXPECT_FALSE(proxy.askedRows.isEmpty());
  EXPECT_LT(proxy.askedRows.size(), 100);
  EXPECT_TRUE(proxy.askedRows.contains(9999)) << "the newest row is drawn";
}

TEST(VisualLogTableModel, Screenshot) {
  VisualLogTableModel model;
  model.Append(Entry(1), 1000);
  VisualLogEntry failed = Entry(2, 2);
  failed.queue = "Sport";
  failed.reason = "No space left on device";
  model.Append(failed, 1000);
  model.Append(Entry(3), 1000);
  QTableView view;
  view.setModel(&model);
  view.setSelectionBehavior(QAbstractItemView::SelectRows);
  view.verticalHeader()->hide();
  view.resize(480, 140);
  view.show();
  ASSERT_TRUE(test::SaveScreenshot(view, "visuallogtablemodel"));
}

// The view as the main window shows it: names and comment grow with the
// window above the operator's widths, the time is never cut, and a cut cell
// gives its whole text as its tooltip.
TEST(VisualLogTableModel, ColumnsGrowWithTheViewAndCutCellsShowTheirText) {
  VisualLogTableModel model;
  VisualLogEntry entry = Entry(1);
  entry.inputName = "Sport_2026-12-10_Frontpage_Edition-North_Page01_final_corrected_v3.pdf";
  model.Append(entry, 1000);
  QTableView view;
  view.setModel(&model);
  view.setWordWrap(false);  // as the main window shows it
  const int widths[] = {110, 110, 40, 100};
  for (int c = 0; c < 4; ++c) view.setColumnWidth(c, widths[c]);
  LogColumns columns(view, QString::fromStdString(entry.time));
  view.show();
  int previous[4] = {};
  for (auto [width, inputCut] :
       {std::pair{480, true}, std::pair{900, true}, std::pair{2400, false}}) {
    view.resize(width, 160);
    QApplication::processEvents();
    for (int c : {0, 1, 3}) {
      EXPECT_GT(view.columnWidth(c), std::max(previous[c], widths[c] - 1)) << width << "," << c;
      previous[c] = view.columnWidth(c);
    }
    EXPECT_TRUE(columns.ToolTipFor(model.index(0, 2)).isEmpty()) << "the time is never cut";
    const QString tip = columns.ToolTipFor(model.index(0, 0));
    EXPECT_EQ(tip.startsWith(QString::fromStdString(entry.inputName)), inputCut) << width;
  }
  EXPECT_EQ(columns.Minimum(1), 110) << "kept at close: the operator's width";
  view.resize(1200, 160);
  test::SaveScreenshot(view, "visuallog_longnames");
}

}  // namespace
}  // namespace zf::ui
