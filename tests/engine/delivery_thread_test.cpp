// The standard stages in a running worker, while the user-interface thread
// names files through the same resolver (as the rule test does) and edits the
// queue: every file arrives once, every result is logged once.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "config/datetimepattern.h"
#include "deliverytestkit.h"
#include "engine/renamethread.h"
#include "engine/standardstages.h"
#include "enginetestkit.h"

namespace zf {
namespace {

namespace fs = std::filesystem;

std::set<std::string> Names(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.insert(e.path().filename());
  return names;
}

TEST(DeliveryThread, AWorkerDeliversEveryFileOnceWhileTheWindowUsesTheSameLibrary) {
  ASSERT_TRUE(test::RealLibrary().Has(EntryPoint::kFormatExpression));
  test::RecordingHost host;
  host.keepEvents = false;
  host.settings.switchedOn = true;
  test::FakeClock clock;
  test::CountingFiles access;
  test::QueueFolders f;
  const std::string logFolder = f.root / "log";
  fs::create_directory(logFolder);
  const int slot = test::AddQueue(host.table, "Sport", f, [&](QueueRecord& q) {
    q.Makelog = true;
    q.Logfile = logFolder;
    q.logtype = 1;
    q.Maxentries = 10000;
    q.NRegularexpr = 1;
    q.rule(1) = Rule{R"(SPO_(\d+)\.pdf)", "Sport_$1.pdf", false, ""};
  });

  std::mutex mutex;
  std::vector<VisualLogEntry> rows;
  VisualLog visualLog(clock, DefaultRegionalSettings(), [&](VisualLogEntry e) {
    std::lock_guard lock(mutex);
    rows.push_back(std::move(e));
  });
  LogFileWriter writer(host.table, clock, "dd.mm.yyyy hh:nn:ss:zzz");
  StandardStages stages(test::RealLibrary(), visualLog, writer, clock);
  const std::shared_ptr<EngineControl> control =
      Trenamethread::Start(EngineServices{host, access, clock, &stages});

  // Files arrive whole (written beside the folder, then moved in), while the
  // window tests names and adds a rule for the unknown ones halfway.
  constexpr int kFiles = 40;
  std::atomic<int> tested{0};
  for (int i = 0; i < kFiles; ++i) {
    const std::string name = (i % 4 == 3 ? "X_" : "SPO_") + std::to_string(i) + ".pdf";
    test::WriteFile(f.root / name, "content " + std::to_string(i));
    fs::rename(f.root / name, f.in + "/" + name);
    NamingState state;
    std::int32_t page = 0;
    if (stages.naming().ResolveName(host.table.Get(slot), "SPO_1.pdf", state, page) ==
        "Sport_1.pdf") {
      ++tested;
    }
    if (i == kFiles / 2) {
      host.table.Update(slot, [](QueueRecord& q) {
        q.NRegularexpr = 2;
        q.rule(2) = Rule{R"(X_(\d+)\.pdf)", "Other_$1.pdf", false, ""};
      });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!Names(f.in).empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  control->stop = true;
  while (!control->finished && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(control->finished);
  EXPECT_EQ(tested, kFiles);

  EXPECT_TRUE(Names(f.in).empty());
  // Each file is in exactly one place: named in the output folder, or, when
  // it arrived before its rule, in the error folder under its own name.
  int delivered = 0;
  for (int i = 0; i < kFiles; ++i) {
    const bool x = i % 4 == 3;
    const std::string out = f.out + "/" + (x ? "Other_" : "Sport_") + std::to_string(i) + ".pdf";
    const std::string err = f.err + "/X_" + std::to_string(i) + ".pdf";
    const int places = static_cast<int>(fs::exists(out)) + static_cast<int>(fs::exists(err));
    EXPECT_EQ(places, 1) << i;
    delivered += places;
    const std::string content = "content " + std::to_string(i);
    if (fs::exists(out)) {
      EXPECT_EQ(test::ReadFile(out), content);
    }
    if (fs::exists(err)) {
      EXPECT_EQ(test::ReadFile(err), content);
    }
  }
  EXPECT_EQ(delivered, kFiles);
  std::lock_guard lock(mutex);
  EXPECT_EQ(static_cast<int>(rows.size()), kFiles);
  // One input element per file in the XML log, each with one entry.
  const std::string xml = test::ReadFile(logFolder + "/Sport.xml");
  std::size_t entries = 0;
  for (std::size_t at = xml.find("<Newname"); at != std::string::npos;
       at = xml.find("<Newname", at + 1)) {
    ++entries;
  }
  EXPECT_EQ(static_cast<int>(entries), kFiles);
}

}  // namespace
}  // namespace zf
