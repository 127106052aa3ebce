#include "testrule.h"

#include <optional>

#include "engine/naming.h"
#include "engine/readiness.h"
#include "engine/testbench.h"

namespace zf::app {
namespace {

// The queue a rule test is about, or why it cannot be made at all.
std::optional<RuleTestOutcome> FindQueue(QueueTable& table, ExpressionLibrary& library,
                                         const std::string& queueName, RecordPtr& queue) {
  const int slot = table.FindByName(queueName);
  if (slot == 0)
    return RuleTestOutcome{kUsageOrConfigError, "no queue is named '" + queueName + "'"};
  if (!library.Has(EntryPoint::kFormatExpression)) {
    return RuleTestOutcome{kUsageOrConfigError,
                           "the expression library's FormatExpression is not available"};
  }
  queue = table.Record(slot);
  return std::nullopt;
}

}  // namespace

RuleTestOutcome TestRule(QueueTable& table, ExpressionLibrary& library,
                         const std::string& queueName, const std::string& fileName) {
  RecordPtr queue;
  if (const std::optional<RuleTestOutcome> refused = FindQueue(table, library, queueName, queue)) {
    return *refused;
  }
  NameResolver resolver(library);
  NamingState state;
  std::int32_t pagenumber = 0;
  // The rules see the name as the engine hands it to them.
  const std::string seen = queue->Normalize ? NfcName(fileName) : fileName;
  const ResolvedName resolved = resolver.Resolve(*queue, seen, state, pagenumber);
  if (resolved.unavailable) {
    return {kUsageOrConfigError, "the expression library could not be called"};
  }
  if (resolved.newname.empty()) {
    std::string text(kCannotRename);
    text += '\n';
    if (!resolved.rejected.empty()) {
      text += "(a rule built '" + resolved.rejected + "', which is no plain file name)\n";
    }
    return {kNotNamed, text};
  }
  std::string text = "new name: " + resolved.newname + "\n";
  if (queue->Splitpdf) text += "page number: " + std::to_string(pagenumber) + "\n";
  return {kNamed, text};
}

RuleTestOutcome ExplainRule(QueueTable& table, ExpressionLibrary& library, FileAccess& files,
                            const std::string& queueName, const std::string& fileName) {
  RecordPtr queue;
  if (const std::optional<RuleTestOutcome> refused = FindQueue(table, library, queueName, queue)) {
    return *refused;
  }
  RuleTestBench bench(library);
  const Explanation explanation = bench.Explain(*queue, fileName, files);
  if (!explanation.refusal.empty()) return {kUsageOrConfigError, explanation.refusal};
  if (explanation.libraryUnavailable) {
    return {kUsageOrConfigError, "the expression library could not be called"};
  }
  std::string text;
  for (const std::string& line : explanation.Lines()) text += line + "\n";
  return {explanation.engineName.empty() ? kNotNamed : kNamed, text};
}

}  // namespace zf::app
