#include "log/visuallog.h"

#include <stdexcept>
#include <utility>

namespace zf {

VisualLog::VisualLog(Clock& clock, RegionalSettings regional, VisualLogSink sink)
    : clock_(clock), regional_(std::move(regional)), sink_(std::move(sink)) {
  if (!sink_) throw std::invalid_argument("VisualLog needs a sink");
}

void VisualLog::AddVisualLogEntry(std::string_view inputName, std::string_view outputName,
                                  std::string_view comment, std::int32_t status) noexcept {
  try {
    VisualLogEntry entry;
    entry.inputName = inputName;
    entry.outputName = outputName;
    entry.comment = comment;
    entry.status = status;
    AddVisualLogEntry(std::move(entry));
  } catch (...) {
  }
}

void VisualLog::AddVisualLogEntry(VisualLogEntry entry) noexcept {
  try {
    entry.time = DateTimeToRegionalString(clock_.Now(), regional_);
    sink_(std::move(entry));
  } catch (...) {
    // The on-screen log is a courtesy to the operator; the log file keeps the record.
  }
}

}  // namespace zf
