#include "config/queueediting.h"

#include <algorithm>
#include <charconv>

#include "platform/datetime.h"

namespace zf {

std::optional<std::int32_t> ParseDecimalInt32(std::string_view text) {
  std::string_view digits = text;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) digits.remove_prefix(1);
  if (digits.empty() ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  // from_chars takes "-" but not "+"; the digits are checked above.
  const std::string_view parsed = text.front() == '+' ? text.substr(1) : text;
  std::int32_t value = 0;
  const auto [end, error] = std::from_chars(parsed.data(), parsed.data() + parsed.size(), value);
  if (error != std::errc() || end != parsed.data() + parsed.size()) return std::nullopt;
  return value;
}

std::string NotAnIntegerMessage(std::string_view text) {
  return "'" + std::string(text) + "' is not a valid integer value";
}

DailyTime ValidDailyTime(std::uint16_t hour, std::uint16_t minute) {
  DailyTime time;
  time.hour = std::min<int>(hour, 23);
  time.minute = std::min<int>(minute, 59);
  time.adjusted = time.hour != hour || time.minute != minute;
  return time;
}

bool SearchMaskHasSemicolon(std::string_view mask) {
  return mask.find(';') != std::string_view::npos;
}

void ResetFieldsTheDialogNeverWrites(QueueRecord& record) {
  record.FTPcurrentpath.clear();
  record.transdateto = "ddmmyyyy";
  record.lastlogrenew = EncodeDateTime(1980, 1, 1, 1, 1, 1, 1);
  record.useplugin = 0;
  record.HostName.clear();
  record.Database.clear();
  record.Username.clear();
  record.password.clear();
  // A queue of its own server: no protocol, key or key file of another.
  record.FTPprotocol = kFtpPlain;
  record.FTPfingerprint.clear();
  record.FTPknownhosts = kDefaultKnownHosts;
  record.FTPkeyfile.clear();
}

}  // namespace zf
