#include "servicehost.h"

#include <utility>

namespace zf::app {

ServiceHost::ServiceHost(QueueTable& table, WorkingSettings& working, TextSink verbose)
    : table_(table), working_(working), verbose_(std::move(verbose)) {}

bool ServiceHost::SwitchedOn() {
  return working_.switchedOn.load();
}
int ServiceHost::BrowseTime() {
  return working_.browsetime.load();
}
int ServiceHost::StableTime() {
  return working_.stabletime.load();
}

void ServiceHost::CycleProgress(int /*position*/) {
  // Ten slices a cycle would only fill the output; the pass itself is told.
}

void ServiceHost::CycleProgressFull() {
  if (verbose_) verbose_("pass over " + std::to_string(table_.Nfolders()) + " queue(s)");
}

void ServiceHost::QueueIconChanged(int slot, QueueIcon icon) {
  if (icon == QueueIcon::kActive) {
    activeSlot_ = slot;
    if (!verbose_) return;
    std::string name;
    if (slot >= 1 && slot <= QueueTable::kSlots) name = table_.Record(slot)->name;
    verbose_("serving queue " + std::to_string(slot) + " '" + name + "'");
  } else if (slot == activeSlot_) {
    // Only the idle icon of the queue being served ends its turn.
    activeSlot_ = 0;
    if (verbose_) verbose_("queue " + std::to_string(slot) + " done");
  }
}

void ServiceHost::FtpProgress(int /*percent*/) {
  // Per-file percentages are for a progress bar, not for a log.
}

}  // namespace zf::app
