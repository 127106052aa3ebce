#include "logcolumns.h"

#include <QEvent>
#include <QHeaderView>
#include <QHelpEvent>
#include <QTableView>
#include <QToolTip>

namespace zf::ui {
namespace {

constexpr int kTimeColumn = 2;
// Shares of the room beyond the minimums: names are long, comments short.
constexpr std::array<int, 4> kShare{2, 2, 0, 1};
constexpr int kCellPadding = 12;

}  // namespace

LogColumns::LogColumns(QTableView& view, const QString& timeSample)
    : QObject(&view), view_(view), viewport_(view.viewport()), timeSample_(timeSample) {
  // The widest digit in every place, so no other date or hour is wider.
  for (QChar& c : timeSample_) {
    if (c.isDigit()) c = QLatin1Char('8');
  }
  for (int c = 0; c < 4; ++c) minimum_[static_cast<std::size_t>(c)] = view.columnWidth(c);
  QHeaderView* header = view.horizontalHeader();
  header->setSectionResizeMode(QHeaderView::Interactive);
  header->setStretchLastSection(false);
  connect(header, &QHeaderView::sectionResized, this,
          [this](int column, int, int newSize) { SectionResized(column, newSize); });
  view.viewport()->installEventFilter(this);
}

int LogColumns::TimeWidth() const {
  return view_.fontMetrics().horizontalAdvance(timeSample_) + kCellPadding;
}

void LogColumns::SectionResized(int column, int newSize) {
  if (fitting_ || column < 0 || column > 3) return;
  // The operator (or the stored layout) set this width: it is the column's
  // least from now on, but the time text is never cut.
  const int least = column == kTimeColumn ? std::max(newSize, TimeWidth()) : newSize;
  minimum_[static_cast<std::size_t>(column)] = least;
  if (least != newSize) Fit();
}

void LogColumns::Fit() {
  std::array<int, 4> widths = minimum_;
  widths[kTimeColumn] = std::max(widths[kTimeColumn], TimeWidth());
  int extra = view_.viewport()->width();
  for (int w : widths) extra -= w;
  if (extra > 0) {
    int shares = 0;
    for (int s : kShare) shares += s;
    int given = 0;
    for (std::size_t c = 0; c < widths.size(); ++c) {
      const int part = extra * kShare[c] / shares;
      widths[c] += part;
      given += part;
    }
    widths[3] += extra - given;  // the rounding remainder
  }
  fitting_ = true;
  for (int c = 0; c < 4; ++c) view_.setColumnWidth(c, widths[static_cast<std::size_t>(c)]);
  fitting_ = false;
}

bool LogColumns::eventFilter(QObject* watched, QEvent* event) {
  // Compared with the pointer kept: while the view is being destroyed its
  // viewport still sends events, and the view must not be asked then.
  if (watched != viewport_) return false;
  if (event->type() == QEvent::Resize) {
    Fit();
  } else if (event->type() == QEvent::ToolTip) {
    const auto* help = static_cast<QHelpEvent*>(event);
    const QString tip = ToolTipFor(view_.indexAt(help->pos()));
    if (tip.isEmpty()) return false;  // the row's own tooltip, if any
    QToolTip::showText(help->globalPos(), tip, view_.viewport());
    return true;
  }
  return false;
}

QString LogColumns::ToolTipFor(const QModelIndex& index) const {
  if (!index.isValid()) return {};
  const QString text = index.data(Qt::DisplayRole).toString();
  const int iconRoom = index.data(Qt::DecorationRole).isNull() ? 0 : view_.iconSize().width() + 4;
  const int needed = view_.fontMetrics().horizontalAdvance(text) + kCellPadding + iconRoom;
  if (text.isEmpty() || needed <= view_.columnWidth(index.column())) return {};
  const QString more = index.data(Qt::ToolTipRole).toString();
  return more.isEmpty() ? text : text + "\n" + more;
}

}  // namespace zf::ui
