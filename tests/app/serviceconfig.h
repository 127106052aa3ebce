#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config/queuetable.h"
#include "config/settings.h"
#include "exprlib/loadedexpressionlibrary.h"

namespace zf::test {

// A local queue with the loader's defaults, the given folders and rules
// (match, format, partial, page-number format); no log file.
QueueRecord MakeQueue(const std::string& name, const std::string& input, const std::string& output,
                      const std::string& error, const std::vector<Rule>& rules);

// Writes the queue configuration file and the general settings file into
// `dir` through the configuration layer, as the program will read them with
// --config-dir `dir`. Throws when a file cannot be written.
void WriteConfiguration(const std::string& dir, const std::vector<QueueRecord>& queues,
                        const GeneralSettings& settings);

// General settings with short times for tests: browse and stable time 1 s.
GeneralSettings QuickSettings(int browsetime = 1, int stabletime = 1);

// The expression library built beside the program ($ZF_BIN_DIR), loaded as
// the program loads it; each entry point it lacks fails the calling test.
std::unique_ptr<LoadedExpressionLibrary> LoadBuiltLibrary();

}  // namespace zf::test
