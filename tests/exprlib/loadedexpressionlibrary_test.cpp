#include "exprlib/loadedexpressionlibrary.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/library.h"
#include "tempdir.h"

namespace zf {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::filesystem::path BinDir() {
  const char* dir = std::getenv("ZF_BIN_DIR");
  return dir != nullptr ? std::filesystem::path(dir) : ProgramFolder().value();
}

class RecordingSink : public LoadMessageSink {
 public:
  void ShowInformation(const std::string& text) override { texts.push_back(text); }
  std::vector<std::string> texts;
};

// Reads the probe library's own counters; the second open shares the state
// of the copy the loader holds.
class Probe {
 public:
  Probe() : lib_(DynamicLibrary::Open(BinDir() / "testlibs/probe/regex.so").value()) {
    calls_ = lib_.Function<int (*)()>("ProbeCalls");
    max_in_flight_ = lib_.Function<int (*)()>("ProbeMaxInFlight");
    reset_ = lib_.Function<void (*)()>("ProbeReset");
    split_blocked_ = lib_.Function<bool (*)()>("ProbeSplitBlocked");
    release_split_ = lib_.Function<void (*)()>("ProbeReleaseSplit");
  }
  bool split_blocked() const { return split_blocked_(); }
  void release_split() const { release_split_(); }
  int calls() const { return calls_(); }
  int max_in_flight() const { return max_in_flight_(); }
  void reset() const { reset_(); }

 private:
  DynamicLibrary lib_;
  int (*calls_)() = nullptr;
  int (*max_in_flight_)() = nullptr;
  void (*reset_)() = nullptr;
  bool (*split_blocked_)() = nullptr;
  void (*release_split_)() = nullptr;
};

TEST(LoadedExpressionLibrary, MissingLibraryReportsAllThreeInOrderAndCallsFailHarmlessly) {
  test::TempDir dir;
  RecordingSink sink;
  auto lib = LoadedExpressionLibrary::Load(dir.path() / "missing", sink);
  EXPECT_THAT(sink.texts, ElementsAre("unable to load TryMatchExpression from dll",
                                      "unable to load FormatExpression from dll",
                                      "unable to load PDFSplitter from dll"));
  EXPECT_FALSE(lib->load_error().empty());
  EXPECT_FALSE(lib->Has(EntryPoint::kTryMatchExpression));
  EXPECT_FALSE(lib->Has(EntryPoint::kFormatExpression));
  EXPECT_FALSE(lib->Has(EntryPoint::kPDFSplitter));

  EXPECT_EQ(lib->TryMatch("a", "a", false).status, CallStatus::kUnavailable);
  const CallResult format = lib->Format("(a)", "$1", "a", false);
  EXPECT_EQ(format.status, CallStatus::kUnavailable);
  EXPECT_FALSE(format.ok());
  EXPECT_THAT(format.text, IsEmpty());
  EXPECT_EQ(lib->SplitPdf("/x.pdf", 1, "/out/").status, CallStatus::kUnavailable);
  EXPECT_FALSE(lib->Has(EntryPoint::kMatchGroups));
  EXPECT_EQ(lib->MatchGroups("(a)", "a", false).status, CallStatus::kUnavailable);
}

TEST(LoadedExpressionLibrary, AFileThatIsNoLibraryCountsAsMissing) {
  test::TempDir dir;
  test::WriteFile(dir.path() / LoadedExpressionLibrary::FileName(), "not a shared object");
  RecordingSink sink;
  auto lib = LoadedExpressionLibrary::Load(dir.path(), sink);
  EXPECT_EQ(sink.texts.size(), 3u);
  EXPECT_FALSE(lib->load_error().empty());
}

TEST(LoadedExpressionLibrary, LibraryWithoutSplitterReportsOnlyThatOne) {
  RecordingSink sink;
  auto lib = LoadedExpressionLibrary::Load(BinDir() / "testlibs/nosplit", sink);
  EXPECT_THAT(sink.texts, ElementsAre("unable to load PDFSplitter from dll"));
  EXPECT_TRUE(lib->load_error().empty());
  EXPECT_TRUE(lib->Has(EntryPoint::kTryMatchExpression));
  EXPECT_TRUE(lib->Has(EntryPoint::kFormatExpression));
  EXPECT_FALSE(lib->Has(EntryPoint::kPDFSplitter));

  EXPECT_TRUE(lib->TryMatch("same", "same", false).ok());
  EXPECT_EQ(lib->Format("m", "text", "n", false).text, "text");
  const CallResult split = lib->SplitPdf("/x.pdf", 1, "/out/");
  EXPECT_EQ(split.status, CallStatus::kUnavailable);
  EXPECT_FALSE(split.ok());
  // MatchGroups is optional: its absence above gave no message of its own.
  EXPECT_FALSE(lib->Has(EntryPoint::kMatchGroups));
  const GroupsResult groups = lib->MatchGroups("same", "same", false);
  EXPECT_EQ(groups.status, CallStatus::kUnavailable);
  EXPECT_THAT(groups.groups, IsEmpty());
}

TEST(LoadedExpressionLibrary, RealLibraryLoadsWithoutMessages) {
  RecordingSink sink;
  auto lib = LoadedExpressionLibrary::Load(BinDir(), sink);
  EXPECT_THAT(sink.texts, IsEmpty());
  EXPECT_TRUE(lib->Has(EntryPoint::kPDFSplitter));
  EXPECT_TRUE(lib->Has(EntryPoint::kMatchGroups));
}

TEST(LoadedExpressionLibrary, GroupTextIsReadExactlyOrNotAtAll) {
  using Groups = std::vector<std::optional<std::string>>;
  RecordingSink sink;
  auto lib = LoadedExpressionLibrary::Load(BinDir() / "testlibs/probe", sink);
  ASSERT_TRUE(lib->Has(EntryPoint::kMatchGroups));
  struct {
    const char* raw;
    std::optional<Groups> expected;  // nullopt: a failed call
  } const cases[] = {
      {"3:abc", Groups{"abc"}},
      {"5:a:b-c-0:2:10", Groups{"a:b-c", std::nullopt, "", "10"}},
      {"1:-", Groups{"-"}},
      {"", std::nullopt},      // not even the whole match
      {"3:ab", std::nullopt},  // shorter than its length
      {"abc", std::nullopt},   // no length
      {"3abc", std::nullopt},  // no colon
      {"-x", std::nullopt},    // "-" then garbage
      {"99999999999999999999:a", std::nullopt},
  };
  for (const auto& c : cases) {
    const GroupsResult r = lib->MatchGroups("m", c.raw, false);
    if (c.expected) {
      EXPECT_TRUE(r.ok()) << c.raw;
      EXPECT_EQ(r.groups, *c.expected) << c.raw;
    } else {
      EXPECT_EQ(r.status, CallStatus::kFailed) << c.raw;
      EXPECT_THAT(r.groups, IsEmpty()) << c.raw;
    }
  }
  const GroupsResult two = lib->MatchGroups("answer:2", "3:abc", false);
  EXPECT_EQ(two.status, CallStatus::kFailed);
  EXPECT_EQ(two.value, 2);
  EXPECT_EQ(lib->MatchGroups(std::string(1024, 'm'), "n", false).status, CallStatus::kInputRefused);
}

// Splitting a long PDF file must not hold up the naming of the engine or a
// click in the rule test bench: the split has buffers and a lock of its own.
TEST(LoadedExpressionLibrary, AMatchOrFormatCallDoesNotWaitForASplitInProgress) {
  RecordingSink sink;
  auto lib = LoadedExpressionLibrary::Load(BinDir() / "testlibs/probe", sink);
  Probe probe;
  probe.reset();
  std::thread split([&] { EXPECT_TRUE(lib->SplitPdf("block", 4, "/out/").ok()); });
  while (!probe.split_blocked()) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  auto bench = std::async(std::launch::async, [&] {
    return lib->Format("m", "f", "n", false).text + "/" +
           std::to_string(lib->TryMatch("n", "n", false).value) + "/" +
           std::to_string(lib->MatchGroups("m", "1:n", false).groups.size());
  });
  const bool done = bench.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  EXPECT_TRUE(done) << "a format call waited for the split";
  EXPECT_TRUE(probe.split_blocked()) << "the split ended before the other calls";
  probe.release_split();
  split.join();
  EXPECT_EQ(bench.get(), "m|f|n|0/1/1");
  // The split and the other calls were inside the library at once.
  EXPECT_EQ(probe.max_in_flight(), 2);
}

TEST(LoadedExpressionLibrary, ArgumentsAndAnswersPassUnchanged) {
  RecordingSink sink;
  auto lib = LoadedExpressionLibrary::Load(BinDir() / "testlibs/probe", sink);
  ASSERT_THAT(sink.texts, IsEmpty());

  EXPECT_EQ(lib->Format("m", "f", "n", true).text, "m|f|n|1");
  const CallResult page = lib->Format("m", "p", "n", false, FormatPurpose::kPage);
  EXPECT_TRUE(page.ok());
  EXPECT_EQ(page.text, "m|p|n|0");

  // Only an answer of exactly 1 is a match.
  struct {
    const char* answer;
    CallStatus status;
  } const answers[] = {{"1", CallStatus::kOk},
                       {"0", CallStatus::kFailed},
                       {"2", CallStatus::kFailed},
                       {"-1", CallStatus::kFailed}};
  for (const auto& a : answers) {
    const CallResult r = lib->TryMatch("answer", a.answer, false);
    EXPECT_EQ(r.status, a.status) << a.answer;
    EXPECT_EQ(r.value, std::atoi(a.answer));
  }

  const CallResult split = lib->SplitPdf("/in/a.pdf", 17, "/out/");
  EXPECT_TRUE(split.ok());
  EXPECT_EQ(split.value, 17);
  EXPECT_FALSE(lib->SplitPdf("/in/a.pdf", 0, "/out/").ok());  // 0 pages is a failure
  EXPECT_EQ(lib->SplitPdf("", 5, "/out/").value, -7);
}

TEST(LoadedExpressionLibrary, MisbehavingOutputIsAFailureNotStaleOrOverreadText) {
  RecordingSink sink;
  auto lib = LoadedExpressionLibrary::Load(BinDir() / "testlibs/probe", sink);

  const CallResult unterminated = lib->Format("m", "unterminated", "n", false);
  EXPECT_EQ(unterminated.status, CallStatus::kFailed);
  EXPECT_THAT(unterminated.text, IsEmpty());

  ASSERT_TRUE(lib->Format("m", "f", "earlier", false).ok());
  const CallResult silent = lib->Format("m", "silent", "n", false);
  EXPECT_TRUE(silent.ok());
  EXPECT_EQ(silent.text, "");  // not the text of the earlier call
}

TEST(LoadedExpressionLibrary, InputsThatDoNotFitABufferAreRefusedWithoutACall) {
  RecordingSink sink;
  auto lib = LoadedExpressionLibrary::Load(BinDir() / "testlibs/probe", sink);
  Probe probe;
  const std::string fits(1023, 'a');
  const std::string too_long(1024, 'a');
  const std::string with_nul("ab\0cd", 5);

  for (const std::string& bad : {too_long, with_nul}) {
    probe.reset();
    EXPECT_EQ(lib->TryMatch(bad, "n", false).status, CallStatus::kInputRefused);
    EXPECT_EQ(lib->TryMatch("m", bad, false).status, CallStatus::kInputRefused);
    EXPECT_EQ(lib->Format(bad, "f", "n", false).status, CallStatus::kInputRefused);
    EXPECT_EQ(lib->Format("m", bad, "n", false).status, CallStatus::kInputRefused);
    EXPECT_EQ(lib->Format("m", "f", bad, false, FormatPurpose::kPage).status,
              CallStatus::kInputRefused);
    EXPECT_EQ(lib->SplitPdf(bad, 1, "/out/").status, CallStatus::kInputRefused);
    EXPECT_EQ(lib->SplitPdf("/in.pdf", 1, bad).status, CallStatus::kInputRefused);
    EXPECT_EQ(probe.calls(), 0) << "a refused input must not reach the library";
  }

  EXPECT_TRUE(lib->TryMatch(fits, fits, false).ok());
  EXPECT_TRUE(lib->SplitPdf(fits, 3, fits).ok());
  // The output must fit as well: the probe refuses text of 1024 bytes or more.
  const CallResult format = lib->Format("", std::string(1019, 'f'), "", false);
  EXPECT_TRUE(format.ok());
  EXPECT_EQ(format.text.size(), 1023u);
}

TEST(LoadedExpressionLibrary, CallsFromTwoThreadsRunOneAtATime) {
  RecordingSink sink;
  auto lib = LoadedExpressionLibrary::Load(BinDir() / "testlibs/probe", sink);
  Probe probe;
  probe.reset();

  constexpr int kCalls = 150;
  auto work = [&](const std::string& who, FormatPurpose purpose, int* wrong) {
    for (int i = 0; i < kCalls; ++i) {
      const std::string name = who + std::to_string(i);
      const CallResult r = lib->Format("m", "slow:" + who, name, i % 2 == 1, purpose);
      if (!r.ok() || r.text != "m|slow:" + who + "|" + name + "|" + std::to_string(i % 2)) ++*wrong;
      if (!lib->TryMatch(name, name, false).ok()) ++*wrong;
    }
  };
  int wrong_engine = 0, wrong_bench = 0;
  std::thread engine(work, "engine", FormatPurpose::kName, &wrong_engine);
  std::thread bench(work, "bench", FormatPurpose::kPage, &wrong_bench);
  engine.join();
  bench.join();

  EXPECT_EQ(wrong_engine, 0);
  EXPECT_EQ(wrong_bench, 0);
  EXPECT_EQ(probe.calls(), 4 * kCalls);
  EXPECT_EQ(probe.max_in_flight(), 1) << "two calls were inside the library at once";
}

}  // namespace
}  // namespace zf
