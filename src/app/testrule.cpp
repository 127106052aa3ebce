#include "testrule.h"

#include "engine/naming.h"
#include "engine/testbench.h"

namespace zf::app {

RuleTestOutcome TestRule(QueueTable& table, ExpressionLibrary& library,
                         const std::string& queueName, const std::string& fileName) {
  const int slot = table.FindByName(queueName);
  if (slot == 0) return {kUsageOrConfigError, "no queue is named '" + queueName + "'"};
  if (!library.Has(EntryPoint::kFormatExpression)) {
    return {kUsageOrConfigError, "the expression library's FormatExpression is not available"};
  }
  const RecordPtr queue = table.Record(slot);
  NameResolver resolver(library);
  NamingState state;
  std::int32_t pagenumber = 0;
  const ResolvedName resolved = resolver.Resolve(*queue, fileName, state, pagenumber);
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
  const int slot = table.FindByName(queueName);
  if (slot == 0) return {kUsageOrConfigError, "no queue is named '" + queueName + "'"};
  if (!library.Has(EntryPoint::kFormatExpression)) {
    return {kUsageOrConfigError, "the expression library's FormatExpression is not available"};
  }
  const RecordPtr queue = table.Record(slot);
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
