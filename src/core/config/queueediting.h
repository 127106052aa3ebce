#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "config/queuetable.h"

namespace zf {

// Rules of the queue configuration dialog that need no window.

// The number boxes (FTP port, log entries) take plain decimal text: an
// optional sign and digits that fit 32 bits, nothing around them. Anything
// else is refused before a single field is stored, so a record is never left
// half written.
std::optional<std::int32_t> ParseDecimalInt32(std::string_view text);

// "'<text>' is not a valid integer value": the refusal for such a text.
std::string NotAnIntegerMessage(std::string_view text);

// A daily renewal time as a time picker can hold it: an hour above 23 or a
// minute above 59 (possible in a hand-edited file) becomes the nearest valid
// value, and `adjusted` says that the operator must be told.
struct DailyTime {
  int hour = 0;
  int minute = 0;
  bool adjusted = false;
};
DailyTime ValidDailyTime(std::uint16_t hour, std::uint16_t minute);

// A search mask is one wildcard pattern handed whole to the listing, so a
// ";" in it is a literal character, not a separator (unlike the ignore mask).
bool SearchMaskHasSemicolon(std::string_view mask);

// Gives a queue that is being appended the load defaults in the fields the
// dialog never writes, so it does not inherit them from a queue that stood in
// its slot earlier in the run. The FTP client is left to the caller, which
// must give the queue one of its own.
void ResetFieldsTheDialogNeverWrites(QueueRecord& record);

}  // namespace zf
