#include "platform/library.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <utility>

#include "tempdir.h"

namespace zf {
namespace {

std::filesystem::path BinDir() {
  const char* dir = std::getenv("ZF_BIN_DIR");
  return dir != nullptr ? std::filesystem::path(dir) : ProgramFolder().value();
}

TEST(DynamicLibrary, OpenFindsExportedSymbolsOnly) {
  Result<DynamicLibrary> lib = DynamicLibrary::Open(BinDir() / "testlibs/nosplit/regex.so");
  ASSERT_TRUE(lib.ok()) << lib.status().message();
  EXPECT_NE(lib->Symbol("TryMatchExpression"), nullptr);
  EXPECT_NE(lib->Symbol("FormatExpression"), nullptr);
  EXPECT_EQ(lib->Symbol("PDFSplitter"), nullptr);
  EXPECT_EQ(lib->Symbol(nullptr), nullptr);

  // Moving hands the loaded library over; the source no longer finds anything.
  DynamicLibrary first = std::move(lib).value();
  DynamicLibrary second = std::move(first);
  EXPECT_NE(second.Symbol("TryMatchExpression"), nullptr);
  EXPECT_EQ(first.Symbol("TryMatchExpression"), nullptr);  // NOLINT(bugprone-use-after-move)
}

TEST(DynamicLibrary, MissingOrBrokenFilesAreErrorsWithAReason) {
  test::TempDir dir;
  test::WriteFile(dir.path() / "broken.so", "no ELF here");
  for (const std::filesystem::path& path :
       {dir.path() / "absent.so", dir.path() / "broken.so", std::filesystem::path()}) {
    Result<DynamicLibrary> lib = DynamicLibrary::Open(path);
    EXPECT_FALSE(lib.ok()) << path;
    EXPECT_FALSE(lib.status().message().empty()) << path;
  }
}

TEST(DynamicLibrary, ABareFileNameIsNotLookedUpOnTheSystemPath) {
  // libm is on every system path; only a file in the working folder may load.
  EXPECT_FALSE(DynamicLibrary::Open("libm.so.6").ok());
}

TEST(ProgramFolder, IsTheFolderOfTheRunningTest) {
  Result<std::filesystem::path> folder = ProgramFolder();
  ASSERT_TRUE(folder.ok());
  EXPECT_TRUE(std::filesystem::exists(*folder / "library_test"));
  EXPECT_TRUE(std::filesystem::equivalent(*folder, BinDir()));
}

}  // namespace
}  // namespace zf
