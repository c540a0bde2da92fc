#include "history/PackSteps.h"

#include <fcntl.h>
#include <unistd.h>

#include "platform/posix/FileDescriptor.h"

namespace tarvine::history {

int PackSteps::sync(const std::string& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  return fd.valid() ? ::fsync(fd.get()) : -1;
}

int PackSteps::remove(const std::string& path) { return ::unlink(path.c_str()); }

PackSteps& PackSteps::real() {
  static PackSteps steps;
  return steps;
}

}  // namespace tarvine::history
