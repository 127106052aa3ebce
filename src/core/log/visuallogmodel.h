#pragma once

#include <cstddef>
#include <deque>

#include "config/settings.h"
#include "log/visuallog.h"

namespace zf {

// Told about every change of a VisualLogModel, before and after, so that a
// view adapter can bracket it (a Qt item model's begin/end calls, or a list
// widget removing and adding items). Called on the thread that appends.
class VisualLogObserver {
 public:
  virtual ~VisualLogObserver() = default;
  // Bracket one append; a view suspends repainting in between. AppendFinished
  // follows every AppendStarted, also when the append failed.
  virtual void AppendStarted() {}
  virtual void AppendFinished() {}
  // Rows 0 .. count-1 go, oldest first.
  virtual void RowsRemovingFromFront(std::size_t /*count*/) {}
  virtual void RowsRemovedFromFront(std::size_t /*count*/) {}
  // The new row gets index `row`, the last one. RowAppended is left out only
  // when the row could not be stored (out of memory).
  virtual void RowAppending(std::size_t /*row*/) {}
  virtual void RowAppended(std::size_t /*row*/) {}
};

// The rows of the on-screen log, oldest first, owned by the user-interface
// thread. Bounded by `maxvisuallog` as it stands at each append: surplus rows
// leave from the front just before the new row is added, so the list holds at
// most maxvisuallog + 1 rows afterwards. Removing from the front of a deque
// moves no other row, so an append at the bound costs a fixed amount of work.
class VisualLogModel {
 public:
  // Not owned; null for none.
  void SetObserver(VisualLogObserver* observer) { observer_ = observer; }

  // A negative bound counts as 0. Never throws: a failure while trimming ends
  // the trimming, a failure while adding leaves the row out.
  void Append(VisualLogEntry entry, int maxvisuallog) noexcept;
  void Append(VisualLogEntry entry, const WorkingSettings& settings) noexcept {
    Append(std::move(entry), settings.maxvisuallog.load());
  }

  std::size_t RowCount() const { return rows_.size(); }
  // Throws std::out_of_range for an index past the last row.
  const VisualLogEntry& Row(std::size_t index) const { return rows_.at(index); }

 private:
  std::deque<VisualLogEntry> rows_;
  VisualLogObserver* observer_ = nullptr;
};

}  // namespace zf
