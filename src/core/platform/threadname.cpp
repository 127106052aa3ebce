#include "threadname.h"

#include <pthread.h>

namespace zf {

void NameThisThread(const char* name) {
  // Longer names are refused (ERANGE), not cut: a name that does not fit is
  // worth nothing more than none.
  (void)pthread_setname_np(pthread_self(), name);
}

}  // namespace zf
