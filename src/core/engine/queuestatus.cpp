#include "engine/queuestatus.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <utility>

namespace zf {
namespace {

std::string FailureText(std::string_view comment, std::string_view reason) {
  std::string text(comment);
  if (!reason.empty()) text.append(": ").append(reason);
  return text;
}

std::string TimeText(TDateTime value, const RegionalSettings& regional) {
  return value == 0 ? std::string("never") : DateTimeToRegionalString(value, regional);
}

std::string WaitingText(const QueueStatus& s) {
  if (s.waiting == 0) return s.waitingReason.empty() ? "0" : "0: " + s.waitingReason;
  std::string text = std::to_string(s.waiting);
  if (s.stableSecondsLeft > 0) text += " (" + std::to_string(s.stableSecondsLeft) + " s left)";
  if (!s.waitingReason.empty()) text += ": " + s.waitingReason;
  return text;
}

std::string FailureColumn(const QueueStatus& s, const RegionalSettings& regional) {
  if (s.lastFailure.empty()) return "-";
  return DateTimeToRegionalString(s.lastFailureTime, regional) + " " + s.lastFailure;
}

// Columns are aligned by what a terminal shows: a UTF-8 sequence is one
// character however many bytes it takes.
std::size_t DisplayWidth(const std::string& text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

}  // namespace

std::string_view StateText(QueueStatus::State state) {
  switch (state) {
    case QueueStatus::State::kDisabled:
      return "disabled";
    case QueueStatus::State::kIdle:
      return "idle";
    case QueueStatus::State::kServing:
      return "serving";
    case QueueStatus::State::kFailing:
      return "failing";
  }
  return "idle";
}

std::vector<QueueStatus> QueueStatusBoard::Snapshot(const QueueTable& table, TDateTime now) const {
  const QueueTable::State state = table.Snapshot();
  const TDateTime today = DateOf(now);
  std::vector<QueueStatus> rows;
  rows.reserve(static_cast<std::size_t>(state.Nfolders));
  std::lock_guard lock(mutex_);
  for (int i = 0; i < state.Nfolders; ++i) {
    const QueueRecord& queue = *state.slots[static_cast<std::size_t>(i)];
    QueueStatus row;
    row.slot = i + 1;
    row.uid = queue.uid;
    row.name = queue.name;
    row.ftp = queue.FTPuse;
    const auto found = entries_.find(queue.uid);
    if (found != entries_.end()) {
      const Entry& e = found->second;
      if (e.serving) {
        row.state = QueueStatus::State::kServing;
      } else if (e.failing) {
        row.state = QueueStatus::State::kFailing;
      }
      row.lastPass = e.lastPass;
      if (e.countDay == today) {
        row.deliveredToday = e.delivered;
        row.failedToday = e.failed;
      }
      row.waiting = e.waiting;
      row.stableSecondsLeft = e.waiting > 0 ? e.secondsLeft : 0;
      row.waitingReason = e.waitingReason;
      row.lastFailure = e.lastFailure;
      row.lastFailureTime = e.lastFailureTime;
      if (queue.FTPuse) row.ftpConnection = e.ftpConnection;
    }
    if (!queue.Enabled) row.state = QueueStatus::State::kDisabled;
    if (queue.FTPuse && row.ftpConnection.empty()) row.ftpConnection = "not connected";
    rows.push_back(std::move(row));
  }
  return rows;
}

void QueueStatusBoard::PassStarted(std::uint64_t uid) {
  std::lock_guard lock(mutex_);
  Entry& e = entries_[uid];
  e.serving = true;
  e.waiting = 0;
  e.secondsLeft = 0;
}

void QueueStatusBoard::PassEnded(std::uint64_t uid, TDateTime now, bool failed) {
  std::lock_guard lock(mutex_);
  Entry& e = entries_[uid];
  e.serving = false;
  e.failing = failed;
  e.lastPass = now;
  e.secondsLeft = 0;
}

void QueueStatusBoard::SetFailure(Entry& entry, std::string_view comment, std::string_view reason,
                                  TDateTime now) {
  entry.lastFailure = FailureText(comment, reason);
  entry.lastFailureTime = now;
}

void QueueStatusBoard::Problem(std::uint64_t uid, std::string_view inputName,
                               std::string_view comment, std::string_view reason, TDateTime now) {
  std::lock_guard lock(mutex_);
  Entry& e = entries_[uid];
  SetFailure(e, comment, reason, now);
  if (inputName.empty()) e.failing = true;
}

void QueueStatusBoard::FileResult(std::uint64_t uid, bool success, std::string_view comment,
                                  std::string_view reason, TDateTime now) {
  std::lock_guard lock(mutex_);
  Entry& e = entries_[uid];
  const TDateTime today = DateOf(now);
  if (e.countDay != today) {
    e.countDay = today;
    e.delivered = 0;
    e.failed = 0;
  }
  if (success) {
    ++e.delivered;
  } else {
    ++e.failed;
    SetFailure(e, comment, reason, now);
  }
}

bool QueueStatusBoard::Waiting(std::uint64_t uid, int files, int secondsLeft) {
  std::lock_guard lock(mutex_);
  Entry& e = entries_[uid];
  const bool changed = e.waiting != files;
  e.waiting = files;
  e.secondsLeft = secondsLeft;
  return changed;
}

bool QueueStatusBoard::WaitingReason(std::uint64_t uid, std::string_view reason) {
  std::lock_guard lock(mutex_);
  Entry& e = entries_[uid];
  if (e.waitingReason == reason) return false;
  e.waitingReason = reason;
  return true;
}

bool QueueStatusBoard::FtpConnection(std::uint64_t uid, std::string_view text) {
  std::lock_guard lock(mutex_);
  Entry& e = entries_[uid];
  if (e.ftpConnection == text) return false;
  e.ftpConnection = text;
  return true;
}

std::string FormatQueueStatusLine(const QueueStatus& s, const RegionalSettings& regional) {
  std::string line = std::to_string(s.slot) + " " + s.name + ": " + std::string(StateText(s.state));
  line += ", delivered today " + std::to_string(s.deliveredToday);
  line += ", failed today " + std::to_string(s.failedToday);
  if (s.waiting > 0 || !s.waitingReason.empty()) line += ", waiting " + WaitingText(s);
  line += ", last pass " + TimeText(s.lastPass, regional);
  if (s.ftp) line += ", FTP " + s.ftpConnection;
  if (!s.lastFailure.empty()) line += ", last failure " + FailureColumn(s, regional);
  return line;
}

std::string FormatQueueStatusTable(const std::vector<QueueStatus>& rows,
                                   const RegionalSettings& regional) {
  constexpr std::size_t kColumns = 9;
  using Line = std::array<std::string, kColumns>;
  std::vector<Line> lines;
  lines.push_back({"Slot", "Queue", "State", "Delivered", "Failed", "Waiting", "Last pass", "FTP",
                   "Last failure"});
  for (const QueueStatus& s : rows) {
    lines.push_back({std::to_string(s.slot), s.name, std::string(StateText(s.state)),
                     std::to_string(s.deliveredToday), std::to_string(s.failedToday),
                     WaitingText(s), TimeText(s.lastPass, regional),
                     s.ftp ? s.ftpConnection : std::string("-"), FailureColumn(s, regional)});
  }
  std::array<std::size_t, kColumns> widths{};
  for (const Line& line : lines) {
    for (std::size_t c = 0; c < kColumns; ++c) {
      widths[c] = std::max(widths[c], DisplayWidth(line[c]));
    }
  }
  std::string text;
  for (const Line& line : lines) {
    for (std::size_t c = 0; c < kColumns; ++c) {
      text += line[c];
      // The last column is not padded: no trailing blanks.
      if (c + 1 < kColumns) text.append(widths[c] - DisplayWidth(line[c]) + 2, ' ');
    }
    text += '\n';
  }
  return text;
}

}  // namespace zf
