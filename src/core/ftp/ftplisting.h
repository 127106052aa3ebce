#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/datetime.h"

namespace zf {

// One entry of a remote folder listing.
struct RemoteEntry {
  enum class Kind { kFile, kDirectory, kLink, kOther };

  std::string name;
  std::int64_t size = 0;
  // The modification time as the server gives it, in the server's own terms
  // (MLSD is UTC, LIST whatever the server uses): the engine only compares
  // two listings of the same server and orders the entries of one listing,
  // so no zone is applied. 0 when the listing gives no time.
  TDateTime time = 0;
  Kind kind = Kind::kFile;
  // MLSD's "unique" fact: the server's own identity of the file, which a new
  // file put under the same name does not share. Empty when not given.
  std::string unique;

  bool operator==(const RemoteEntry&) const = default;
};

enum class ListingFormat {
  kList,  // LIST output: Unix "ls -l" style or DOS/IIS style, told apart per line
  kMlsd,  // RFC 3659 machine listing
};

// The date a listing is read on, for Unix lines that give a time of day but
// no year ("Mar 14 09:30"): such a date lies within the last half year, so it
// is taken in this year unless that puts it more than a day ahead of `today`.
struct ListingDate {
  int year = 1970;
  int month = 1;
  int day = 1;
};
ListingDate ListingDateOf(TDateTime now);

// One line of LIST output: "-rw-r--r-- 1 owner group 1234 Mar 14 09:30 name"
// (numeric or named owners, with or without a group, the year or the time in
// the fourth-last column, names with blanks, " -> target" cut from links) or
// "03-14-24  09:30AM  1234 name" / "03-14-2024  21:30  <DIR>  name". False
// for a line of any other shape ("total 12", blank lines, junk): such lines
// are skipped, never guessed at.
bool ParseListLine(std::string_view line, const ListingDate& today, RemoteEntry& out);

// One line of MLSD output: "type=file;size=1234;modify=20240314093000; name".
// Entries of type cdir and pdir come back as folders, OS-specific types as
// kOther; a missing type fact means a file. The "unique" fact is kept.
// False for a line without a name.
bool ParseMlsdLine(std::string_view line, RemoteEntry& out);

// A whole listing, split at CR LF or LF; unreadable lines are left out.
std::vector<RemoteEntry> ParseListing(std::string_view text, ListingFormat format,
                                      const ListingDate& today);

// A name that can be fetched into a local folder as it is: not empty, not
// "." or "..", and free of path separators, NUL, CR and LF. A server that
// lists anything else is not allowed to make the engine write outside its
// folder or send a broken command.
bool IsSafeRemoteName(std::string_view name);

}  // namespace zf
