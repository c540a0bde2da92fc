#include "platform/linux/DetachedProcess.h"

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace tarvine {
namespace {

// Makes close_range fail with ENOSYS for this process and what it starts, as on
// kernels older than 5.9.
bool withoutCloseRange() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_close_range, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (ENOSYS & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// A host ignores SIGPIPE, blocks a signal, holds a descriptor without
// close-on-exec and works in some folder; the program it starts must see none
// of that (it starts in the home folder), whether or not the kernel has
// close_range, and the host's own mask stays as it was.
TEST(DetachedProcessTest, TheProgramStartsCleanWithOrWithoutCloseRange) {
  for (bool closeRange : {true, false}) {
    testing::TempDir tmp;
    const std::string out = tmp.file("probe");
    const std::string script = "grep -E '^Sig(Blk|Ign)' /proc/self/status > " + out +
                               "; test -e /proc/self/fd/77 && echo leaked >> " + out +
                               "; echo \"cwd=$(pwd -P)\" >> " + out + "; echo done >> " + out;
    ASSERT_EQ(
        testing::inChild([&] {
          ::signal(SIGPIPE, SIG_IGN);
          sigset_t blocked;
          ::sigemptyset(&blocked);
          ::sigaddset(&blocked, SIGUSR1);
          ::sigprocmask(SIG_BLOCK, &blocked, nullptr);
          if (::dup2(::open("/dev/null", O_RDONLY), 77) != 77) return 2;
          if (!closeRange && !withoutCloseRange()) return 3;
          ::setenv("HOME", tmp.path().c_str(), 1);
          if (::chdir("/proc") != 0) return 5;
          if (!DetachedProcess::spawn("/bin/sh", {"/bin/sh", "-c", script})) return 4;
          sigset_t after;
          ::sigprocmask(SIG_BLOCK, nullptr, &after);
          return ::sigismember(&after, SIGUSR1) == 1 && ::sigismember(&after, SIGUSR2) == 0 ? 0 : 6;
        }),
        0);
    std::string report;
    for (int i = 0; i < 100 && report.find("done") == std::string::npos; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      std::stringstream text;
      text << std::ifstream(out).rdbuf();
      report = text.str();
    }
    EXPECT_EQ(report, "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\ncwd=" +
                          std::filesystem::canonical(tmp.path()).string() + "\ndone\n")
        << (closeRange ? "with" : "without") << " close_range";
  }
}

}  // namespace
}  // namespace tarvine
