#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/passcontext.h"
#include "platform/fileaccess.h"
#include "platform/fileidentity.h"
#include "platform/fileops.h"
#include "platform/folder.h"
#include "platform/result.h"

namespace zf {

// `name` in Unicode NFC; a name that is not valid UTF-8 comes back as it is.
std::string NfcName(std::string_view name);

// The reason a held file gives in the status view and the error folder's row.
inline constexpr std::string_view kIncompletePdf = "incomplete PDF";
inline constexpr std::string_view kIncompletePdfComment = "Cannot rename: incomplete PDF";

// Ends in ".pdf", in any letter case.
bool IsPdfName(std::string_view name);
// Whether `tail`, the last bytes of a file of `fileSize` bytes, ends a complete
// PDF: a "%%EOF" (followed by blanks only) after a "startxref" whose offset
// lies inside the file. A file cut short during its upload fails it.
bool PdfTailComplete(std::string_view tail, std::int64_t fileSize);
// Reads the tail of the file through `folder`; refused (not an error of the
// file) when it is no longer the file found stable.
Result<bool> PdfComplete(const Folder& folder, const std::string& name,
                         const FileIdentity& expected);

// The marker that makes `name` ready under `pattern` ("{name}.done",
// "{base}.rdy"); empty when the pattern holds no placeholder.
std::string ReadyMarkerOf(std::string_view pattern, std::string_view name);
// Whether `name` is a marker under `pattern`, whatever file it stands for.
bool IsReadyMarker(std::string_view pattern, std::string_view name);
// Whether a queue with this marker pattern waits for markers: set and usable.
bool ReadyMarkersOn(std::string_view pattern);
// What is wrong with a marker pattern, for the configuration check; empty
// when it can be used.
std::string ReadyPatternProblem(std::string_view pattern);

// Holds back ready files that are not complete yet in the owner's sense: a
// PDF whose end is cut short, a file whose ready marker has not come. It
// remembers, per queue, how many passes a PDF was found incomplete and which
// markers stood alone, and removes the markers of delivered files.
class ReadinessGate {
 public:
  explicit ReadinessGate(FileOperations& files = SystemFileOperations::Instance())
      : files_(files) {}

  // After the stability check: clears `ready` of the files that must wait,
  // marks a PDF incomplete for too many passes as refused, and takes the
  // markers out of the file table. Answers why files wait, for the status
  // view (empty: nothing held).
  std::string Hold(FileAccess& access, PassContext& pass);
  // After delivery: removes the markers of the files that have left the
  // input folder, each only while it is still the marker that was found.
  void RemoveMarkers(const PassContext& pass);

 private:
  struct Marker {
    std::string file;  // the data file, as listed
    FileIdentity fileIdentity;
    std::string name;
    FileVersion version;
  };
  using Key = std::pair<std::uint64_t, std::string>;

  std::vector<std::string> LoneMarkers(FileAccess& access, const PassContext& pass);

  FileOperations& files_;
  std::map<Key, int> incomplete_;  // passes a PDF was found stable but cut short
  std::set<Key> lone_;             // markers without a file in the last pass
  std::vector<Marker> markers_;    // of the pass under way
};

}  // namespace zf
