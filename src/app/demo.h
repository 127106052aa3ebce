#pragma once

#include <string>

#include "config/queuetable.h"
#include "platform/result.h"

namespace zf::app {

// What --init-demo made, for telling the user.
struct DemoWorkspace {
  std::string folder;  // absolute
  std::string input, output, error, log;
  std::string queueName;
};

// Sets every stored field of `q` to what the queue file's loader gives a
// missing key, as a queue the configuration dialog creates would start out;
// rules and translations are left alone.
void ApplyQueueDefaults(QueueRecord& q);

// Makes a small demo workspace in `folder`: the folders input, output, error
// and log, and in `folder` itself the queue configuration file with one queue
// (two rules: "report 12.pdf" becomes "REPORT_page12.pdf", "notes.txt"
// becomes "notes_renamed.txt"; everything else goes to the error folder; a
// comma-separated log file) and the general settings file with browse and
// stable times of 2 seconds, named after `programPath` as the program finds
// it (the program file's name with ".ini"). Refuses a folder that
// already holds a queue configuration file, so nothing of an operator's
// configuration is ever overwritten.
Result<DemoWorkspace> InitDemo(const std::string& folder, const std::string& programPath);

// The lines that tell the user where to drop files and what happens to them.
std::string DescribeDemo(const DemoWorkspace& demo);

}  // namespace zf::app
