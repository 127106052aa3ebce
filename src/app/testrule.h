#pragma once

#include <string>

#include "config/queuetable.h"
#include "exprlib/expressionlibrary.h"
#include "platform/fileaccess.h"

namespace zf::app {

// Exit statuses of --test-rule.
inline constexpr int kNamed = 0;
inline constexpr int kNotNamed = 1;
inline constexpr int kUsageOrConfigError = 2;

struct RuleTestOutcome {
  int status = kUsageOrConfigError;
  std::string text;  // for standard output (status 0 or 1) or standard error (2)
};

// What the engine would make of `fileName` in the queue named `queueName`,
// through the engine's own name resolution: the new name and, for a queue
// that splits PDF files, the page number; or "cannot rename". The page number
// starts from 0, as in a freshly started engine.
RuleTestOutcome TestRule(QueueTable& table, ExpressionLibrary& library,
                         const std::string& queueName, const std::string& fileName);

// The same decision, explained as the rule test bench's "Explain" shows it:
// every rule's match, groups, name and page, the masks, the engine's choice
// and whether the new name exists in the output folder. Status as TestRule's.
RuleTestOutcome ExplainRule(QueueTable& table, ExpressionLibrary& library, FileAccess& files,
                            const std::string& queueName, const std::string& fileName);

}  // namespace zf::app
