#include "platform/linux/DetachedProcess.h"

#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace tarvine {
namespace {

// The kernel's own form of a signal action (x86-64, arm64, riscv64 and most
// others); a zero handler is SIG_DFL.
struct KernelSignalAction {
  void (*handler)(int);
  unsigned long flags;
  void (*restorer)();
  unsigned long mask;
};

// Only async-signal-safe calls from here on: the parent may have other threads.
[[noreturn]] void becomeProgram(const char* executable, char* const* argv, const char* home) {
  // The program starts as if from a shell, not with what the host ignores or
  // blocks (a file manager ignores SIGPIPE, for one). Ignored signals survive
  // exec; handled ones are reset by it, but resetting all costs nothing.
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  ::sigemptyset(&standard.sa_mask);
  for (int signal = 1; signal < NSIG; ++signal) {
    if (::sigaction(signal, &standard, nullptr) == 0 || signal == SIGKILL || signal == SIGSTOP) {
      continue;
    }
    // The C library keeps two real-time signals for itself and refuses them;
    // the kernel does not, and an ignored one would survive exec.
    KernelSignalAction reset{};
    ::syscall(SYS_rt_sigaction, signal, &reset, nullptr, sizeof reset.mask);
  }
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  if (::setsid() < 0) ::_exit(127);
  // The grandchild is adopted by init, so nobody has to reap it.
  pid_t grandchild = ::fork();
  if (grandchild != 0) ::_exit(grandchild < 0 ? 127 : 0);
  int null = ::open("/dev/null", O_RDWR);
  if (null < 0) ::_exit(127);
  for (int fd = 0; fd < 3; ++fd) ::dup2(null, fd);
  if (::chdir(home) != 0 && ::chdir("/") != 0) ::_exit(127);
  // Kernels before 5.9 have no close_range; then every possible descriptor is closed.
  if (::syscall(SYS_close_range, 3u, ~0u, 0u) != 0) {
    rlimit limit{};
    rlim_t last = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                      ? limit.rlim_cur
                      : 65536;
    for (rlim_t fd = 3; fd < last; ++fd) ::close(static_cast<int>(fd));
  }
  ::execv(executable, argv);
  ::_exit(127);
}

// $HOME when absolute, else the user database's; looked up before forking,
// since neither lookup is safe in the child.
std::string homeDirectory() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return home;
  const passwd* record = ::getpwuid(::getuid());
  return record != nullptr && record->pw_dir != nullptr && record->pw_dir[0] == '/' ? record->pw_dir
                                                                                    : "/";
}

}  // namespace

std::optional<pid_t> DetachedProcess::start(const std::string& executable,
                                            const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const std::string home = homeDirectory();
  // No signal handler of the starter's may run in the child before it has
  // reset them; the starter's own mask is put back at once.
  sigset_t all, previous;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  pid_t child = ::fork();
  if (child == 0) becomeProgram(executable.c_str(), argv.data(), home.c_str());
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (child < 0) return std::nullopt;
  return child;
}

bool DetachedProcess::spawn(const std::string& executable,
                            const std::vector<std::string>& arguments) {
  auto child = start(executable, arguments);
  if (!child) return false;
  // The child exits as soon as it has forked, so this wait is short.
  int status = 0;
  while (::waitpid(*child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace tarvine
