#include "log/visuallogmodel.h"

#include <algorithm>
#include <utility>

namespace zf {
namespace {

// Ends the bracket of an append on every way out.
class AppendBracket {
 public:
  explicit AppendBracket(VisualLogObserver* observer) : observer_(observer) {
    if (observer_ == nullptr) return;
    try {
      observer_->AppendStarted();
    } catch (...) {
    }
  }
  ~AppendBracket() {
    if (observer_ == nullptr) return;
    try {
      observer_->AppendFinished();
    } catch (...) {
    }
  }
  AppendBracket(const AppendBracket&) = delete;
  AppendBracket& operator=(const AppendBracket&) = delete;

 private:
  VisualLogObserver* observer_;
};

}  // namespace

void VisualLogModel::Append(VisualLogEntry entry, int maxvisuallog) noexcept {
  AppendBracket bracket(observer_);
  const std::size_t bound = static_cast<std::size_t>(std::max(maxvisuallog, 0));

  try {
    if (rows_.size() > bound) {
      const std::size_t surplus = rows_.size() - bound;
      if (observer_ != nullptr) observer_->RowsRemovingFromFront(surplus);
      rows_.erase(rows_.begin(), rows_.begin() + static_cast<std::ptrdiff_t>(surplus));
      if (observer_ != nullptr) observer_->RowsRemovedFromFront(surplus);
    }
  } catch (...) {
    // Trimming ends here; the new row is still added.
  }

  try {
    const std::size_t row = rows_.size();
    if (observer_ != nullptr) observer_->RowAppending(row);
    rows_.push_back(std::move(entry));
    if (observer_ != nullptr) observer_->RowAppended(row);
  } catch (...) {
    // The row is left out; the list stays as it was.
  }
}

}  // namespace zf
