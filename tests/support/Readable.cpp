#include "tests/support/Readable.h"

#include <unistd.h>

namespace qxtest {

bool Readable(const void* p) {
  int fds[2];
  if (pipe(fds) != 0) return true;
  bool readable = write(fds[1], p, 1) == 1;
  close(fds[0]);
  close(fds[1]);
  return readable;
}

}  // namespace qxtest
