#pragma once

#include <string>

namespace zf {

// Where the loader reports an entry point it could not find. The window shows
// each text in an information box, the headless service writes it to stderr,
// tests record it.
class LoadMessageSink {
 public:
  virtual ~LoadMessageSink() = default;
  virtual void ShowInformation(const std::string& text) = 0;
};

}  // namespace zf
