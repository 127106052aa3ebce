#include "queuemetrics.h"

#include <cstdio>
#include <set>

namespace zf {
namespace {

// A label value: backslash, double quote and line feed escaped.
std::string LabelValue(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

class Family {
 public:
  Family(std::string& out, std::string_view name, std::string_view type, std::string_view help)
      : out_(out), name_(name) {
    out_.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out_.append("# TYPE ").append(name).append(" ").append(type).append("\n");
  }
  void Sample(std::string_view suffix, const std::string& labels, const std::string& value) {
    out_.append(name_).append(suffix);
    if (!labels.empty()) out_.append("{").append(labels).append("}");
    out_.append(" ").append(value).append("\n");
  }

 private:
  std::string& out_;
  std::string_view name_;
};

}  // namespace

void QueueMetrics::FileResult(std::uint64_t uid, FileOutcome outcome, std::uint64_t bytes,
                              Instant now) {
  std::lock_guard lock(mutex_);
  Counters& c = counters_[uid];
  switch (outcome) {
    case FileOutcome::kDelivered:
      ++c.delivered;
      c.bytesDelivered += bytes;
      c.lastDelivery = now;
      break;
    case FileOutcome::kFailed:
      ++c.failed;
      break;
    case FileOutcome::kUnresolved:
      ++c.unresolved;
      break;
  }
}

void QueueMetrics::PassEnded(std::uint64_t uid, double seconds) {
  std::size_t bucket = 0;
  while (bucket < kPassBuckets.size() && seconds > kPassBuckets[bucket]) ++bucket;
  std::lock_guard lock(mutex_);
  Counters& c = counters_[uid];
  ++c.passes[bucket];
  c.passSeconds += seconds;
}

void QueueMetrics::FtpConnectionFailed(std::uint64_t uid) {
  std::lock_guard lock(mutex_);
  ++counters_[uid].ftpConnectionFailures;
}

void QueueMetrics::FtpFetched(std::uint64_t uid, std::uint64_t bytes) {
  std::lock_guard lock(mutex_);
  counters_[uid].ftpBytesFetched += bytes;
}

QueueMetrics::Counters QueueMetrics::Of(std::uint64_t uid) const {
  std::lock_guard lock(mutex_);
  const auto it = counters_.find(uid);
  return it == counters_.end() ? Counters{} : it->second;
}

std::string FormatMetrics(const std::vector<QueueStatus>& rows, const QueueMetrics& metrics,
                          std::string_view version, QueueMetrics::Instant now) {
  // Two queues of one name would make one series twice, and a scraper
  // refuses the whole answer for that: the later ones carry their slot.
  std::vector<std::string> labels;
  std::vector<QueueMetrics::Counters> counters;
  std::set<std::string> seen;
  for (const QueueStatus& row : rows) {
    std::string name = row.name;
    if (!seen.insert(name).second) name += " (slot " + std::to_string(row.slot) + ")";
    labels.push_back("queue=\"" + LabelValue(name) + "\"");
    counters.push_back(metrics.Of(row.uid));
  }
  std::string out;
  Family(out, "zentrafold_build_info", "gauge", "The program's version.")
      .Sample("", "version=\"" + LabelValue(version) + "\"", "1");

  const auto each = [&](std::string_view name, std::string_view type, std::string_view help,
                        auto value) {
    Family family(out, name, type, help);
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (const std::optional<std::string> v = value(rows[i], counters[i]))
        family.Sample("", labels[i], *v);
    }
  };
  using Row = const QueueStatus&;
  using Count = const QueueMetrics::Counters&;
  each("zentrafold_files_delivered_total", "counter", "Files delivered under their new name.",
       [](Row, Count c) { return std::optional(std::to_string(c.delivered)); });
  each("zentrafold_files_failed_total", "counter", "Files whose delivery failed.",
       [](Row, Count c) { return std::optional(std::to_string(c.failed)); });
  each("zentrafold_files_unresolved_total", "counter", "Files no rule could name.",
       [](Row, Count c) { return std::optional(std::to_string(c.unresolved)); });
  each("zentrafold_delivered_bytes_total", "counter", "Bytes of the files delivered.",
       [](Row, Count c) { return std::optional(std::to_string(c.bytesDelivered)); });
  each("zentrafold_files_waiting", "gauge", "Files found but not yet stable.",
       [](Row r, Count) { return std::optional(std::to_string(r.waiting)); });
  each("zentrafold_seconds_since_last_delivery", "gauge",
       "Seconds since the queue last delivered a file; absent before the first.",
       [now](Row, Count c) -> std::optional<std::string> {
         if (c.lastDelivery == QueueMetrics::Instant{}) return std::nullopt;
         return Number(std::chrono::duration<double>(now - c.lastDelivery).count());
       });
  {
    Family family(out, "zentrafold_queue_state", "gauge",
                  "1 for the state the queue is in, 0 for the others.");
    for (std::size_t i = 0; i < rows.size(); ++i) {
      for (const QueueStatus::State s :
           {QueueStatus::State::kDisabled, QueueStatus::State::kIdle, QueueStatus::State::kServing,
            QueueStatus::State::kFailing}) {
        family.Sample("", labels[i] + ",state=\"" + std::string(StateText(s)) + "\"",
                      rows[i].state == s ? "1" : "0");
      }
    }
  }
  {
    Family family(out, "zentrafold_pass_duration_seconds", "histogram",
                  "Duration of the queue's passes, stable wait included.");
    for (std::size_t i = 0; i < rows.size(); ++i) {
      std::uint64_t cumulative = 0;
      for (std::size_t b = 0; b < QueueMetrics::kPassBuckets.size(); ++b) {
        cumulative += counters[i].passes[b];
        family.Sample("_bucket",
                      labels[i] + ",le=\"" + Number(QueueMetrics::kPassBuckets[b]) + "\"",
                      std::to_string(cumulative));
      }
      cumulative += counters[i].passes.back();
      family.Sample("_bucket", labels[i] + ",le=\"+Inf\"", std::to_string(cumulative));
      family.Sample("_sum", labels[i], Number(counters[i].passSeconds));
      family.Sample("_count", labels[i], std::to_string(cumulative));
    }
  }
  each("zentrafold_ftp_connection_failures_total", "counter",
       "Failed connections to the queue's FTP server.",
       [](Row r, Count c) -> std::optional<std::string> {
         if (!r.ftp) return std::nullopt;
         return std::to_string(c.ftpConnectionFailures);
       });
  each("zentrafold_ftp_fetched_bytes_total", "counter", "Bytes fetched from the FTP server.",
       [](Row r, Count c) -> std::optional<std::string> {
         if (!r.ftp) return std::nullopt;
         return std::to_string(c.ftpBytesFetched);
       });
  return out;
}

}  // namespace zf
