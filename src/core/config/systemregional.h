#pragma once

#include <string>

#include "config/datetimepattern.h"
#include "platform/result.h"

namespace zf {

// The regional settings of a locale's time category (LC_TIME): the short date
// form with its order and separator, the long and short time forms with their
// separator, the AM/PM strings and the day and month names, all as the
// locale gives them (names in its own encoding, unchanged). The long date
// form and the era keep the built-in forms, which then show the locale's names.
//
// An empty `name` means the locale the environment selects for LC_TIME
// (LC_ALL, then LC_TIME, then LANG). The C and POSIX locales, and their
// UTF-8 forms, give DefaultRegionalSettings(); a locale that is not installed
// is an error naming it.
Result<RegionalSettings> RegionalSettingsForLocale(const std::string& name);

// The regional settings of the environment this process started in, read
// once. A locale that is not installed gives DefaultRegionalSettings(), as
// the C library falls back to the C locale. The configuration files' date-times
// and the visual log's time column use these.
const RegionalSettings& SystemRegionalSettings();

}  // namespace zf
