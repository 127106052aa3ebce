/* Preloaded into the program by the service tests: sends SIGUSR1 from a
   library initialiser, the moment of a start-up most exposed to it. */
#include <signal.h>

__attribute__((constructor)) static void RaiseAtLoad(void) {
  raise(SIGUSR1);
}
