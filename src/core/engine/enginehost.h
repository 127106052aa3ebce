#pragma once

#include "config/queuetable.h"

namespace zf {

// Icons of the queue list that the engine sets while it serves a queue.
enum class QueueIcon { kIdle = 0, kActive = 1 };

// What the engine needs from the program that runs it: the main window or the
// headless service. Every value is read at the moment of use, so a change made
// in a dialog takes effect at the engine's next read.
//
// The notifications come from the engine thread. A window must carry them
// out on its own thread (post them, never block on it), and none of them may
// wait for the engine. They should not throw; an exception from one is
// treated like a failure of the stage that made it.
class EngineHost {
 public:
  static constexpr int kCycleProgressMax = 10;
  static constexpr int kFtpProgressMax = 100;

  virtual ~EngineHost() = default;

  // The program's on/off switch.
  virtual bool SwitchedOn() = 0;
  // Seconds between polling cycles and seconds a file must stay unchanged.
  virtual int BrowseTime() = 0;
  virtual int StableTime() = 0;
  // The live queue table. It must outlive the engine.
  virtual QueueTable& Queues() = 0;

  // Cycle progress bar: a position 0..kCycleProgressMax, or full just
  // before a pass over the queue table.
  virtual void CycleProgress(int position) = 0;
  virtual void CycleProgressFull() = 0;
  // The icon of the queue list item of a slot (1-based).
  virtual void QueueIconChanged(int slot, QueueIcon icon) = 0;
  virtual void RefreshQueueList() = 0;
  // FTP progress bar, 0..kFtpProgressMax.
  virtual void FtpProgress(int percent) = 0;
  // The engine's QueueStatusBoard changed (a pass began or ended, a result,
  // a problem, a stable wait began). Sent sparingly, so a window may simply
  // post a refresh of its status view.
  virtual void QueueStatusChanged() {}

  // The results of delivery will reach the visual log through this interface
  // as well, once delivery exists.
};

}  // namespace zf
