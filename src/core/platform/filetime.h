#pragma once

#include <cstdint>
#include <string>

#include "platform/clock.h"
#include "platform/datetime.h"
#include "platform/fileaccess.h"

namespace zf {

// The file time a queue judges age and stability by.
enum class FileTimeKind { kCreation, kLastAccess, kLastWrite };

// 0 creation, 1 last access, 2 last write; any other value last access.
FileTimeKind FileTimeKindOf(std::int32_t filetimetype);

// An instant in local time, cut to the two-second step of the FAT date-time
// form: fractions dropped, seconds made even. Times are compared in this form,
// so two writes within one step look alike, as they always have.
//
// The form only spans the years 1980 to 2107. A time outside is pinned to the
// nearest end (1980-01-01 00:00:00 or 2107-12-31 23:59:58) rather than given
// up: a file stamped 1970 must still have one steady time, or it would never
// be seen as unchanged and would wait in its folder for ever. False only when
// the instant has no local time at all.
bool TryFatLocalTime(UnixTime instant, TDateTime& out);

// The time of the given kind of an entry already looked up; the current time
// of `clock` when it cannot be converted.
TDateTime FileTimeOf(const FileInfo& info, std::int32_t filetimetype, Clock& clock);

// The same for a path: the current time when the entry cannot be found.
TDateTime FileTimeOf(FileAccess& files, const std::string& path, std::int32_t filetimetype,
                     Clock& clock);

}  // namespace zf
