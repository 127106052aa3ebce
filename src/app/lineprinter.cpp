#include "lineprinter.h"

#include <sys/stat.h>

#include <cstdlib>
#include <utility>

namespace zf::app {
namespace {

void AppendEscaped(std::string& out, const std::string& field) {
  static const char kHex[] = "0123456789abcdef";
  for (const char c : field) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (u < 0x20 || u == 0x7f) {
          out += "\\x";
          out += kHex[u >> 4];
          out += kHex[u & 0x0f];
        } else {
          out += c;  // bytes above 0x7f pass: names in 8-bit code pages stay as they are
        }
    }
  }
}

// The reason travels beside the comment, which stays the log files' word.
void AppendComment(std::string& line, const VisualLogEntry& entry) {
  AppendEscaped(line, entry.comment);
  if (!entry.reason.empty()) {
    line += ": ";
    AppendEscaped(line, entry.reason);
  }
}

}  // namespace

bool IsJournalStream(std::FILE* stream) {
  const char* journal = std::getenv("JOURNAL_STREAM");
  if (journal == nullptr || stream == nullptr) return false;
  struct stat st {};
  if (::fstat(::fileno(stream), &st) != 0) return false;
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) == journal;
}

std::string JournalPriority(const VisualLogEntry& entry) {
  return entry.status == 2 ? "<3>" : "<6>";
}

std::string EscapeControls(const std::string& text) {
  std::string out;
  AppendEscaped(out, text);
  return out;
}

std::string FormatStatusTable(std::vector<QueueStatus> rows, const RegionalSettings& regional) {
  for (QueueStatus& s : rows) {
    s.name = EscapeControls(s.name);
    s.lastFailure = EscapeControls(s.lastFailure);
    s.ftpConnection = EscapeControls(s.ftpConnection);
  }
  return FormatQueueStatusTable(rows, regional);
}

std::string FormatLogLine(const VisualLogEntry& entry) {
  std::string line;
  line.reserve(entry.time.size() + entry.inputName.size() + entry.outputName.size() +
               entry.comment.size() + 3);
  AppendEscaped(line, entry.time);
  line += '\t';
  AppendEscaped(line, entry.inputName);
  line += '\t';
  AppendEscaped(line, entry.outputName);
  line += '\t';
  AppendComment(line, entry);
  return line;
}

std::string FormatProblemLine(const VisualLogEntry& entry) {
  std::string line = "zentrafold: ";
  AppendEscaped(line, entry.queue);
  line += ": ";
  if (!entry.inputName.empty()) {
    AppendEscaped(line, entry.inputName);
    line += ": ";
  }
  AppendComment(line, entry);
  return line;
}

LinePrinter::LinePrinter(std::FILE* out, std::size_t maxPending)
    : out_(out), maxPending_(maxPending == 0 ? 1 : maxPending), thread_([this] { Run(); }) {}

LinePrinter::~LinePrinter() {
  Finish();
}

void LinePrinter::Push(std::string line) {
  {
    std::lock_guard lock(mutex_);
    if (finishing_) return;
    if (pending_.size() >= maxPending_) {
      pending_.pop_front();
      ++dropped_;
    }
    pending_.push_back(std::move(line));
  }
  wake_.notify_one();
}

void LinePrinter::Finish() {
  {
    std::lock_guard lock(mutex_);
    finishing_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

std::size_t LinePrinter::dropped() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

void LinePrinter::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return finishing_ || !pending_.empty(); });
    if (pending_.empty()) return;  // finishing, and everything is out
    std::deque<std::string> batch;
    batch.swap(pending_);
    const std::size_t dropped = dropped_ - droppedReported_;
    droppedReported_ = dropped_;
    lock.unlock();
    if (dropped > 0) {
      std::fprintf(stderr, "zentrafold: %zu lines dropped: the output was not read fast enough\n",
                   dropped);
    }
    // A failed write (a closed pipe) loses the line and nothing else: the
    // service goes on with its files and its log files.
    for (const std::string& line : batch) {
      std::fwrite(line.data(), 1, line.size(), out_);
      std::fputc('\n', out_);
      std::fflush(out_);
    }
    lock.lock();
  }
}

}  // namespace zf::app
