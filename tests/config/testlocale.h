#pragma once

#include <gtest/gtest.h>

#include <string>

#include "config/systemregional.h"

namespace zf::test {

// The regional settings of an installed locale. A missing locale fails the
// test (it must not pass on the built-in settings by accident); scripts/setup
// generates the ones the tests use.
inline RegionalSettings InstalledLocale(const std::string& name) {
  auto settings = RegionalSettingsForLocale(name);
  if (!settings.ok()) {
    ADD_FAILURE() << "locale " << name << " is not installed; run scripts/setup to generate it ("
                  << settings.status().message() << ")";
    return DefaultRegionalSettings();
  }
  return std::move(settings).value();
}

}  // namespace zf::test
