#pragma once

#include <functional>
#include <string>

#include "config/queuetable.h"
#include "config/settings.h"
#include "engine/enginehost.h"

namespace zf::app {

// The engine's host in the headless service: the switch and the two times come
// from the working settings, the queue table is the loaded one. There is no
// window to notify; with a `verbose` sink the start of every pass and the
// queue being served are told there as text, everything else is dropped.
class ServiceHost final : public EngineHost {
 public:
  using TextSink = std::function<void(std::string)>;

  ServiceHost(QueueTable& table, WorkingSettings& working, TextSink verbose = {});

  bool SwitchedOn() override;
  int BrowseTime() override;
  int StableTime() override;
  QueueTable& Queues() override { return table_; }

  void CycleProgress(int position) override;
  void CycleProgressFull() override;
  void QueueIconChanged(int slot, QueueIcon icon) override;
  void RefreshQueueList() override {}
  void FtpProgress(int percent) override;

 private:
  QueueTable& table_;
  WorkingSettings& working_;
  const TextSink verbose_;
  int activeSlot_ = 0;  // engine thread only
};

}  // namespace zf::app
