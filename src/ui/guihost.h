#pragma once

#include <QObject>
#include <QPointer>
#include <atomic>
#include <functional>

#include "config/queuetable.h"
#include "config/settings.h"
#include "engine/enginehost.h"

namespace zf::ui {

// The engine's host in the window. Values are read from the working settings
// at the moment of use (the settings dialog writes them as its fields change);
// every notification is posted to the window's thread with a queued call and
// carried out there in the order it was made. The worker never waits for the
// window.
class GuiHost final : public EngineHost {
 public:
  // What the window does with each notification, on its own thread.
  struct Handlers {
    std::function<void(int)> cycleProgress;  // a position, or kCycleProgressMax for full
    std::function<void(int, QueueIcon)> queueIcon;
    std::function<void()> refreshQueueList;
    std::function<void(int)> ftpProgress;
    std::function<void()> statusChanged;
  };

  // `receiver` lives on the window's thread; posts to it are dropped once it
  // is gone.
  GuiHost(QueueTable& table, WorkingSettings& working, QObject* receiver, Handlers handlers);

  bool SwitchedOn() override { return working_.switchedOn.load(); }
  int BrowseTime() override { return working_.browsetime.load(); }
  int StableTime() override { return working_.stabletime.load(); }
  QueueTable& Queues() override { return table_; }

  void CycleProgress(int position) override;
  void CycleProgressFull() override;
  void QueueIconChanged(int slot, QueueIcon icon) override;
  void RefreshQueueList() override;
  void FtpProgress(int percent) override;
  void QueueStatusChanged() override;

 private:
  void Post(std::function<void()> call);

  QueueTable& table_;
  WorkingSettings& working_;
  QPointer<QObject> receiver_;
  const Handlers handlers_;
  // One status refresh pending at most: a burst of changes costs one redraw.
  std::atomic<bool> statusPending_{false};
};

}  // namespace zf::ui
