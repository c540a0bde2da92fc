// A FUSE file system whose lookups below /watched block until a release file
// exists, as those of a sleeping network mount do: `gated-mount MOUNTPOINT
// RELEASE`. It holds /watched (a folder) and /watched/file; / always answers.
// It ends (and unmounts) when the test that started it dies, so that a test
// killed by its timeout leaves no hanging mount behind.

#define FUSE_USE_VERSION 31
#include <fuse.h>
#include <fuse_lowlevel.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

constexpr useconds_t kPollMicroseconds = 10'000;

const char* gRelease = nullptr;

// False when the session ends first: a lookup still waiting then fails, so
// that the file system can exit and unmount.
bool waitForRelease() {
  fuse_session* session = fuse_get_session(fuse_get_context()->fuse);
  while (::access(gRelease, F_OK) != 0) {
    if (fuse_session_exited(session) != 0) return false;
    ::usleep(kPollMicroseconds);
  }
  return true;
}

int getattr(const char* path, struct stat* info, fuse_file_info*) {
  std::memset(info, 0, sizeof *info);
  const std::string name = path;
  if (name == "/") {
    info->st_mode = S_IFDIR | 0755;
    info->st_nlink = 2;
    return 0;
  }
  if (!waitForRelease()) return -EIO;
  if (name == "/watched") {
    info->st_mode = S_IFDIR | 0755;
    info->st_nlink = 2;
    return 0;
  }
  if (name == "/watched/file") {
    info->st_mode = S_IFREG | 0644;
    info->st_nlink = 1;
    return 0;
  }
  return -ENOENT;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  // Told to end as fuse_main's own handler hears it, if the test goes first.
  const pid_t parent = ::getppid();
  if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != parent) return 1;
  gRelease = argv[2];
  fuse_operations operations{};
  operations.getattr = getattr;
  // Foreground, several threads (the root answers while a lookup waits), and
  // no attribute caching, so that every lookup reaches us.
  char* args[] = {argv[0],
                  argv[1],
                  const_cast<char*>("-f"),
                  const_cast<char*>("-o"),
                  const_cast<char*>("attr_timeout=0,entry_timeout=0"),
                  nullptr};
  return fuse_main(5, args, &operations, nullptr);
}
