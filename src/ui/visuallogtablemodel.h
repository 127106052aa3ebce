#pragma once

#include <QAbstractTableModel>
#include <QIcon>
#include <cstddef>

#include "log/visuallog.h"
#include "log/visuallogmodel.h"
#include "log/visuallogqueue.h"

namespace zf::ui {

// The visual log as a Qt table: the rows of a VisualLogModel it owns, in four
// columns "Input", "Output", "Time", "Comment". The core model's trims and
// appends arrive as the begin/end brackets of row removal and insertion, so a
// view updates only what changed and asks only for the rows it shows; ten
// thousand rows cost no more to display than ten.
class VisualLogTableModel final : public QAbstractTableModel, private VisualLogObserver {
  Q_OBJECT

 public:
  enum Column { kInput, kOutput, kTime, kComment, kColumnCount };

  explicit VisualLogTableModel(QObject* parent = nullptr);
  ~VisualLogTableModel() override;

  // Trims the front to `maxvisuallog` rows, then adds `entry` as the last row.
  // On the user-interface thread only.
  void Append(VisualLogEntry entry, int maxvisuallog);

  // Appends everything the worker has queued, in order; answers how many.
  std::size_t DrainFrom(VisualLogQueue& queue, int maxvisuallog) {
    return queue.DrainInto(rows_, maxvisuallog);
  }

  const VisualLogModel& Rows() const { return rows_; }

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 private:
  void RowsRemovingFromFront(std::size_t count) override;
  void RowsRemovedFromFront(std::size_t count) override;
  void RowAppending(std::size_t row) override;
  void RowAppended(std::size_t row) override;
  void AppendFinished() override;

  static QString Text(const VisualLogEntry& entry, int column);
  static QString ToolTip(const VisualLogEntry& entry);

  VisualLogModel rows_;
  // Made once: every row shows one of these two.
  QIcon success_;
  QIcon failure_;
  // An insertion announced whose row never arrived (out of memory).
  bool insertOpen_ = false;
};

}  // namespace zf::ui
