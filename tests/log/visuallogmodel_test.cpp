#include "log/visuallogmodel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

namespace zf {
namespace {

VisualLogEntry Numbered(int n) {
  return {"in" + std::to_string(n), "out" + std::to_string(n), "t", "Renamed", 1};
}

void AppendNumbered(VisualLogModel& model, int from, int to, int bound) {
  for (int n = from; n <= to; ++n) model.Append(Numbered(n), bound);
}

// Records the observer calls as short words, e.g. "-removing 1".
class Recorder : public VisualLogObserver {
 public:
  std::vector<std::string> calls;
  std::string throwOn;

  void AppendStarted() override { Note("started"); }
  void AppendFinished() override { Note("finished"); }
  void RowsRemovingFromFront(std::size_t n) override { Note("removing " + std::to_string(n)); }
  void RowsRemovedFromFront(std::size_t n) override { Note("removed " + std::to_string(n)); }
  void RowAppending(std::size_t row) override { Note("appending " + std::to_string(row)); }
  void RowAppended(std::size_t row) override { Note("appended " + std::to_string(row)); }

 private:
  void Note(const std::string& call) {
    calls.push_back(call);
    if (!throwOn.empty() && call.starts_with(throwOn)) throw std::runtime_error(call);
  }
};

TEST(VisualLogModel, BoundZeroKeepsOnlyTheNewestRow) {
  VisualLogModel model;
  for (int n = 1; n <= 3; ++n) {
    model.Append(Numbered(n), 0);
    ASSERT_EQ(model.RowCount(), 1u);
    EXPECT_EQ(model.Row(0).inputName, "in" + std::to_string(n));
  }
  // A negative bound (a damaged setting) acts as 0.
  model.Append(Numbered(4), -5);
  ASSERT_EQ(model.RowCount(), 1u);
  EXPECT_EQ(model.Row(0).inputName, "in4");
}

TEST(VisualLogModel, DefaultBoundHoldsOneThousandAndOneRows) {
  VisualLogModel model;
  AppendNumbered(model, 1, 1001, 1000);
  ASSERT_EQ(model.RowCount(), 1001u);
  EXPECT_EQ(model.Row(0).inputName, "in1");

  Recorder recorder;
  model.SetObserver(&recorder);
  model.Append(Numbered(1002), 1000);
  ASSERT_EQ(model.RowCount(), 1001u);
  EXPECT_EQ(model.Row(0).inputName, "in2");
  EXPECT_EQ(model.Row(1000).inputName, "in1002");
  EXPECT_EQ(recorder.calls,
            (std::vector<std::string>{"started", "removing 1", "removed 1", "appending 1000",
                                      "appended 1000", "finished"}));

  // At the bound every further append removes exactly one row.
  recorder.calls.clear();
  AppendNumbered(model, 1003, 1102, 1000);
  EXPECT_EQ(std::count(recorder.calls.begin(), recorder.calls.end(), "removed 1"), 100);
  EXPECT_EQ(model.Row(0).inputName, "in102");
  EXPECT_THROW(model.Row(1001), std::out_of_range);
}

TEST(VisualLogModel, LoweredBoundTakesEffectAtTheNextAppend) {
  VisualLogModel model;
  AppendNumbered(model, 1, 1001, 1000);
  Recorder recorder;
  model.SetObserver(&recorder);

  model.Append(Numbered(1002), 10);
  ASSERT_EQ(model.RowCount(), 11u);
  EXPECT_EQ(model.Row(0).inputName, "in992");
  EXPECT_EQ(model.Row(10).inputName, "in1002");
  EXPECT_EQ(recorder.calls[1], "removing 991");

  // Raising it again removes nothing; the list grows back.
  AppendNumbered(model, 1003, 1005, 1000);
  EXPECT_EQ(model.RowCount(), 14u);
  EXPECT_EQ(model.Row(0).inputName, "in992");
}

TEST(VisualLogModel, FailureRowKeepsItsEmptyOutputAndStatus) {
  VisualLogModel model;
  WorkingSettings settings;
  settings.maxvisuallog = 2;
  model.Append({"bad.pdf", "", "08/12/2025 14:05:12", "Cannot split", 2}, settings);
  ASSERT_EQ(model.RowCount(), 1u);
  EXPECT_EQ(model.Row(0).outputName, "");
  EXPECT_EQ(model.Row(0).status, 2);
  EXPECT_EQ(model.Row(0).comment, "Cannot split");
  // The bound is read from the settings at each append.
  AppendNumbered(model, 1, 3, settings.maxvisuallog);
  settings.maxvisuallog = 0;
  model.Append(Numbered(4), settings);
  EXPECT_EQ(model.RowCount(), 1u);
}

TEST(VisualLogModel, ObserverFailuresEndTheirStepButNotTheAppend) {
  VisualLogModel model;
  AppendNumbered(model, 1, 5, 10);
  Recorder recorder;
  model.SetObserver(&recorder);

  // A failed trim leaves the old rows; the new row is still added.
  recorder.throwOn = "removing";
  model.Append(Numbered(6), 2);
  EXPECT_EQ(model.RowCount(), 6u);
  EXPECT_EQ(model.Row(5).inputName, "in6");
  EXPECT_EQ(recorder.calls.back(), "finished");

  // A failed add leaves the list as far as it got; the bracket still closes.
  recorder.calls.clear();
  recorder.throwOn = "appending";
  model.Append(Numbered(7), 2);
  EXPECT_EQ(model.RowCount(), 2u);
  EXPECT_EQ(model.Row(1).inputName, "in6");
  EXPECT_EQ(recorder.calls, (std::vector<std::string>{"started", "removing 4", "removed 4",
                                                      "appending 2", "finished"}));

  // Failing brackets change nothing.
  recorder.throwOn = "started";
  model.Append(Numbered(8), 2);
  recorder.throwOn = "finished";
  EXPECT_NO_THROW(model.Append(Numbered(9), 2));
  EXPECT_EQ(model.Row(2).inputName, "in9");
}

}  // namespace
}  // namespace zf
