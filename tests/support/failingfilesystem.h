#pragma once

#include <string>

#include "platform/files.h"

namespace zf::test {

// The real file system with one step of an atomic replacement made to fail
// with `err` (ENOSPC for a full disk, EXDEV for a refused rename, ...), the
// way the operating system would fail it; every other step really runs.
class FailingFileSystem : public FileSystem {
 public:
  FailingFileSystem(WriteStep step, int err) : step_(step), err_(err) {}

 protected:
  int InjectFault(WriteStep step, const std::string&) const override {
    return step == step_ ? err_ : 0;
  }

 private:
  WriteStep step_;
  int err_;
};

}  // namespace zf::test
