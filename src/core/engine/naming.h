#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/queuetable.h"
#include "engine/discovery.h"
#include "engine/passcontext.h"
#include "exprlib/expressionlibrary.h"
#include "platform/result.h"

namespace zf {

class Trenamethread;

// What naming carries from one file to the next. The engine keeps its own in
// Trenamethread (splitpages, currentpage): the page number last read lives on
// across files, queues and cycles. A caller outside the engine keeps one for
// as long as it wants page numbers to carry over.
struct NamingState {
  bool splitpages = false;       // the queue's Splitpdf, set for every rule tried
  std::int32_t currentpage = 0;  // replaced only by a page text that reads as an integer
};

// The outcome of naming one file.
struct ResolvedName {
  // The new name; empty when no rule gave one that can be used.
  std::string newname;
  // The expression library (or its FormatExpression) cannot be called: nothing
  // was decided and the file must be left for a later cycle.
  bool unavailable = false;
  // A matching rule built this text, but it is no plain file name (see
  // IsPlainFileName), so it was not taken; empty otherwise.
  std::string rejected;
  // A rule matched but its name (in `rejected`, possibly empty) cannot be used.
  bool refused = false;
};

// Name resolution: the queue's rules in order through the expression library;
// the first rule that matches gives the new name and, for a queue that splits
// PDF files, the page number.
//
// The engine uses it through ResolveNames; the command line's rule test and
// anything else that must name a file exactly as the engine would call
// ResolveName (or Resolve), on any thread: the library serialises its calls.
class NameResolver {
 public:
  explicit NameResolver(ExpressionLibrary& library) : library_(library) {}

  // The new name of `filename` by the rules of `queue`, or empty. Sets
  // state.splitpages from the queue's Splitpdf, may replace state.currentpage,
  // and stores state.currentpage into `pagenumber` after every rule tried.
  // Empty also when the library cannot be called; Resolve tells that apart.
  std::string ResolveName(const QueueRecord& queue, std::string_view filename, NamingState& state,
                          std::int32_t& pagenumber);
  ResolvedName Resolve(const QueueRecord& queue, std::string_view filename, NamingState& state,
                       std::int32_t& pagenumber);

  // The stage of a per-queue pass: every ready entry of pass.files gets its
  // newname, or is marked unresolved with "cannot rename". Uses and updates
  // the engine's splitpages and currentpage, and asks engine.KeepGoing after
  // each entry. Its failures end it quietly: always Ok.
  Status ResolveNames(Trenamethread& engine, PassContext& pass);
  // The same stage with the state and the check between entries given.
  Status ResolveNames(PassContext& pass, NamingState& state, const KeepGoingFn& keepGoing);

 private:
  enum class RuleOutcome { kMatched, kNoMatch, kUnavailable };

  // The rules 1..count, as ruleAt(r) gives them.
  template <typename RuleAt>
  ResolvedName ResolveRules(int count, const RuleAt& ruleAt, bool splitpdf,
                            std::string_view filename, NamingState& state,
                            std::int32_t& pagenumber);
  RuleOutcome TryRule(const Rule& rule, std::string_view filename, NamingState& state,
                      std::string& output);

  ExpressionLibrary& library_;
};

// A name that can stand for a file in a folder and nothing else: not empty,
// not "." or "..", no "/" or NUL, at most 255 bytes, and not of the shape of
// delivery's temporary files (which the start-up clean-up removes). Nor may
// any part between backslashes be ".." or of that shape, since delivery
// reads "\" as a separator where the subfolders it names exist.
bool IsPlainFileName(std::string_view name);

// A name for a file in a subfolder of the output folder, as configurations
// written on the desktop platform give it: "/" or "\" between the parts,
// every part a plain file name (so no "..", no empty part, no leading
// separator), at most 4095 bytes in all. Whether the subfolder exists is for
// delivery to see.
bool IsSubfolderName(std::string_view name);

// Why a matching rule's name was refused, for the operator.
std::string RefusedNameReason(std::string_view name);

// A page text as an integer: an optional sign and decimal digits, nothing
// else, within 32 bits. False leaves `value` alone.
bool ReadPageNumber(std::string_view text, std::int32_t& value);

// The text of an unresolved entry, and of one whose name was refused.
inline constexpr std::string_view kCannotRename = "cannot rename";

}  // namespace zf
