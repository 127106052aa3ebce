#pragma once

#include <string>
#include <vector>

#include "config/queuetable.h"
#include "exprlib/expressionlibrary.h"
#include "platform/fileaccess.h"

namespace zf::app {

// What --check-config found. Problems keep a queue from working as configured
// (and make the command fail); notes are worth knowing but may be intended.
struct ConfigReport {
  std::vector<std::string> problems;
  std::vector<std::string> notes;
};

// How a match expression fares when put to the expression library.
enum class ExpressionCheck {
  kCompiles,
  kDoesNotCompile,
  kTooLong,    // longer than an exchange buffer takes
  kUnchecked,  // the library could not be asked
};

// The library's entry points answer only "matched" or "not matched", which
// cannot tell an expression that does not compile from one that fits no name.
// So the expression is asked with an empty alternative added ("X|"): whenever
// X compiles, that matches the empty name, whole or partial. A second probe,
// "X\E<newline>|", covers expressions that end inside a \Q quote or an
// extended-mode comment. This relies on the shipped library's
// Perl-compatible syntax.
ExpressionCheck CheckMatchExpression(ExpressionLibrary& library, const std::string& match,
                                     bool partial);

// A format expression against the same probe match (nothing captured): false
// when the library refuses it, for instance a reference to a group the match
// expression does not have, or a malformed escape. Only meaningful for a
// match expression that compiles.
bool FormatExpressionFits(ExpressionLibrary& library, const std::string& match,
                          const std::string& format, bool partial);

// Checks every queue of the table: folders, masks, rules (through `library`,
// null when it could not be loaded), the log file's folder and the daily
// renewal time; for an FTP queue its server and local folder, and (as a note)
// fetched files that were never delivered, its protocol and how the server's
// key is checked. `loadMessages` are the loader's warnings and messages,
// which count as problems. `configFolder` is where relative FTPknownhosts and
// FTPkeyfile lie; empty, the folder the table was loaded from.
ConfigReport CheckConfiguration(QueueTable& table, const std::vector<std::string>& loadMessages,
                                ExpressionLibrary* library, FileAccess& files,
                                const std::string& configFolder = {});

}  // namespace zf::app
