#include "visuallogtablemodel.h"

#include <utility>

#include "artwork.h"

namespace zf::ui {

VisualLogTableModel::VisualLogTableModel(QObject* parent)
    : QAbstractTableModel(parent), success_(StatusIcon(1)), failure_(StatusIcon(2)) {
  rows_.SetObserver(this);
}

VisualLogTableModel::~VisualLogTableModel() {
  rows_.SetObserver(nullptr);
}

void VisualLogTableModel::Append(VisualLogEntry entry, int maxvisuallog) {
  rows_.Append(std::move(entry), maxvisuallog);
}

int VisualLogTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.RowCount());
}

int VisualLogTableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumnCount;
}

QVariant VisualLogTableModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() < 0 ||
      static_cast<std::size_t>(index.row()) >= rows_.RowCount() || index.column() < 0 ||
      index.column() >= kColumnCount) {
    return {};
  }
  const VisualLogEntry& entry = rows_.Row(static_cast<std::size_t>(index.row()));
  switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
      return Text(entry, index.column());
    case Qt::DecorationRole:
      if (index.column() != kInput) return {};
      if (entry.status == 1) return success_;
      if (entry.status == 2) return failure_;
      return {};
    case Qt::ToolTipRole:
    case Qt::AccessibleDescriptionRole: {
      const QString tip = ToolTip(entry);
      return tip.isEmpty() ? QVariant() : QVariant(tip);
    }
    default:
      return {};
  }
}

QVariant VisualLogTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
    return QAbstractTableModel::headerData(section, orientation, role);
  switch (section) {
    case kInput:
      return tr("Input");
    case kOutput:
      return tr("Output");
    case kTime:
      return tr("Time");
    case kComment:
      return tr("Comment");
    default:
      return {};
  }
}

Qt::ItemFlags VisualLogTableModel::flags(const QModelIndex& index) const {
  // Rows are read, selected and copied, never edited in place.
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

QString VisualLogTableModel::Text(const VisualLogEntry& entry, int column) {
  switch (column) {
    case kInput:
      return QString::fromStdString(entry.inputName);
    case kOutput:
      return QString::fromStdString(entry.outputName);
    case kTime:
      return QString::fromStdString(entry.time);
    case kComment:
      return QString::fromStdString(entry.comment);
    default:
      return {};
  }
}

// The reason says more than the comment ("No space left on device" beside
// "Cannot copy"), and with several queues the operator needs to know whose
// row it is.
QString VisualLogTableModel::ToolTip(const VisualLogEntry& entry) {
  const QString text = QString::fromStdString(entry.reason.empty() ? entry.comment : entry.reason);
  if (entry.queue.empty()) return text;
  const QString queue = QString::fromStdString(entry.queue);
  return text.isEmpty() ? queue : queue + QStringLiteral(": ") + text;
}

void VisualLogTableModel::RowsRemovingFromFront(std::size_t count) {
  if (count == 0) return;
  beginRemoveRows({}, 0, static_cast<int>(count) - 1);
}

void VisualLogTableModel::RowsRemovedFromFront(std::size_t count) {
  if (count == 0) return;
  endRemoveRows();
}

void VisualLogTableModel::RowAppending(std::size_t row) {
  const int at = static_cast<int>(row);
  beginInsertRows({}, at, at);
  insertOpen_ = true;
}

void VisualLogTableModel::RowAppended(std::size_t) {
  insertOpen_ = false;
  endInsertRows();
}

void VisualLogTableModel::AppendFinished() {
  if (!insertOpen_) return;
  // The row could not be stored: close the announcement and have the views
  // read the rows afresh, so none of them keeps a row that does not exist.
  insertOpen_ = false;
  endInsertRows();
  beginResetModel();
  endResetModel();
}

}  // namespace zf::ui
