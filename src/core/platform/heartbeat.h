#pragma once

namespace zf {

// A sign of life from the worker's own loops (its waits and its copies), for
// a supervisor that restarts a service whose worker is stuck. Kept per
// thread and set by the worker itself, so that signs come only while the
// thread that does the work is moving; a side thread cannot hide a hang.
class Heartbeat {
 public:
  virtual ~Heartbeat() = default;
  // Called often (every step of a wait, every chunk of a copy): limit the
  // rate in here.
  virtual void Beat() = 0;
};

// The calling thread's heartbeat from now on; null: none.
void SetThreadHeartbeat(Heartbeat* heartbeat);
// Beats the calling thread's heartbeat, if it has one.
void Beat();

}  // namespace zf
