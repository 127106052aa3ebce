#include "heartbeat.h"

namespace zf {
namespace {
thread_local Heartbeat* t_heartbeat = nullptr;
}

void SetThreadHeartbeat(Heartbeat* heartbeat) {
  t_heartbeat = heartbeat;
}

void Beat() {
  if (t_heartbeat != nullptr) t_heartbeat->Beat();
}

}  // namespace zf
