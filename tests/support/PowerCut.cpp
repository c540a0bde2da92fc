#include "tests/support/PowerCut.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace tarvine::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kRunPrefix = "tarvine-power-cut-";
constexpr const char* kOwnerFile = "/owner";
constexpr const char* kDaemonFile = "/daemon";
constexpr const char* kFuseType = "fuse.tarvine-power-cut";
// A long journal commit interval: the file system's own timer adds no flush
// in the middle of an operation, so that a run's flushes are those of the
// operation and can be counted and cut one by one. What a commit by the
// timer would do is what an fsync of any other file does, and the campaign
// does that after each operation.
constexpr const char* kMountOptions = "commit=300";
constexpr auto kMountWait = std::chrono::seconds(10);
constexpr auto kDetachWait = std::chrono::seconds(20);
constexpr auto kStopWait = std::chrono::seconds(10);
constexpr auto kPoll = std::chrono::milliseconds(10);
constexpr unsigned kMkfsSeconds = 60;

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

[[noreturn]] void failSystem(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// When the process started, from /proc: with its pid, who it is, since pids
// are reused. Empty when it is gone.
std::string startTime(pid_t pid) {
  const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return "";
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  // After the name: state is the 3rd field of the line, starttime the 22nd.
  for (int i = 3; i <= 22 && fields >> field; ++i) {
  }
  return field;
}

std::string identity(pid_t pid) { return std::to_string(pid) + " " + startTime(pid); }

// The pid written by identity(), when that process is still the one running.
pid_t living(const std::string& file) {
  std::istringstream text(readFile(file));
  pid_t pid = 0;
  std::string started;
  if (!(text >> pid >> started) || pid <= 0) return 0;
  return startTime(pid) == started ? pid : 0;
}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::trunc);
  out << text;
  if (!out) fail("cannot write " + path);
}

// The mount points below `folder`, deepest first.
std::vector<std::string> mountsBelow(const std::string& folder) {
  std::vector<std::string> found;
  std::istringstream table(readFile("/proc/self/mountinfo"));
  for (std::string line; std::getline(table, line);) {
    std::istringstream fields(line);
    std::string id, parent, device, root, point;
    fields >> id >> parent >> device >> root >> point;
    if (point.rfind(folder + "/", 0) == 0) found.push_back(point);
  }
  std::sort(found.begin(), found.end(),
            [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  return found;
}

bool isMounted(const std::string& point, const std::string& type) {
  std::istringstream table(readFile("/proc/self/mountinfo"));
  for (std::string line; std::getline(table, line);) {
    std::istringstream fields(line);
    std::string id, parent, device, root, mounted, word;
    fields >> id >> parent >> device >> root >> mounted;
    if (mounted != point) continue;
    while (fields >> word && word != "-") {
    }
    std::string fstype;
    fields >> fstype;
    if (type.empty() || fstype == type) return true;
  }
  return false;
}

// The loop devices whose disk lies below `folder`, as /dev paths.
std::vector<std::string> loopsBelow(const std::string& folder) {
  std::vector<std::string> found;
  std::error_code missing;
  for (const auto& entry : fs::directory_iterator("/sys/block", missing)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("loop", 0) != 0) continue;
    std::string backing = readFile(entry.path().string() + "/loop/backing_file");
    while (!backing.empty() && backing.back() == '\n') backing.pop_back();
    if (backing.rfind(folder + "/", 0) == 0) found.push_back("/dev/" + name);
  }
  return found;
}

bool loopHolds(const std::string& device) {
  const std::string name = device.substr(device.rfind('/') + 1);
  return fs::exists("/sys/block/" + name + "/loop/backing_file");
}

void detachLoop(const std::string& device) {
  const int fd = ::open(device.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return;
  (void)::ioctl(fd, LOOP_CLR_FD, 0);  // busy: detached when its last user goes
  ::close(fd);
}

// Forks `argv` with its output to `log`, no input, and none of our other
// descriptors (a test runner reads our output pipe until every holder of it
// is gone). In a session of its own, away from our terminal's signals.
pid_t spawn(const std::vector<std::string>& argv, const std::string& log,
            const std::vector<std::string>& environment = {}) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) failSystem("cannot fork");
  if (pid == 0) {
    // Ended with us, should we die first (the daemon unmounts its disk then);
    // what is left, the next run's removePowerCutLeftovers() removes.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    ::setsid();
    const int in = ::open("/dev/null", O_RDONLY);
    const int out = ::open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0600);
    if (in < 0 || out < 0) ::_exit(127);
    ::dup2(in, STDIN_FILENO);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(out, STDERR_FILENO);
    ::close_range(3, ~0u, 0);
    for (const std::string& entry : environment) ::putenv(const_cast<char*>(entry.c_str()));
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  return pid;
}

// Waits for `pid` at most `bound`; its wait status, or -1 while it runs.
int waitFor(pid_t pid, Clock::duration bound) {
  const auto deadline = Clock::now() + bound;
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return status;
    if (done < 0 && errno != EINTR) return 0;  // not ours any more
    if (Clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(kPoll);
  }
}

int exitCode(int status) {
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}

// Who holds something below `folder` open (a file, its working folder, a
// mapping), for the message of an unmount that cannot finish.
std::string holders(const std::string& folder) {
  std::string found;
  std::error_code missing;
  for (const auto& process : fs::directory_iterator("/proc", missing)) {
    const std::string pid = process.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    bool holds = false;
    std::error_code gone;
    for (const auto& fd : fs::directory_iterator(process.path() / "fd", gone)) {
      holds = holds || fs::read_symlink(fd.path(), gone).string().rfind(folder, 0) == 0;
    }
    holds = holds || fs::read_symlink(process.path() / "cwd", gone).string().rfind(folder, 0) == 0;
    holds = holds || readFile(process.path() / "maps").find(folder) != std::string::npos;
    if (holds) {
      std::string command = readFile(process.path() / "cmdline");
      std::replace(command.begin(), command.end(), '\0', ' ');
      found += " " + pid + " (" + command + ")";
    }
  }
  return found.empty() ? " none found" : found;
}

// Unmounts `point`; when something still holds it, detaches it, to go when
// the last holder does, and says who held it.
std::string unmountOrDetach(const std::string& point) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (::umount2(point.c_str(), 0) == 0 || errno == EINVAL || errno == ENOENT) return "";
    if (errno != EBUSY) break;
    std::this_thread::sleep_for(kPoll);
  }
  const std::string held = holders(point);
  (void)::umount2(point.c_str(), MNT_DETACH);  // what is left goes with its last user
  return held;
}

// The program `name` on the path, or in the system's own folders (which a
// user's path may lack); "" when there is none.
std::string programPath(const std::string& name) {
  std::string path = ::getenv("PATH") ? ::getenv("PATH") : "";
  path += ":/usr/sbin:/sbin";
  std::istringstream folders(path);
  for (std::string folder; std::getline(folders, folder, ':');) {
    const std::string candidate = folder + "/" + name;
    if (!folder.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

// Our mounts in a mount namespace of our own. A program that makes its own
// (unshare -m, as the desktop tests do) copies every mount it sees, and its
// copy of our file system would keep the file system and its loop device
// after we unmount ours. In ours, only we and our children see them, and they
// go with the last of us.
void enterMountNamespaceOfOurOwn() {
  static bool entered = false;
  if (entered) return;
  if (::unshare(CLONE_NEWNS) != 0) failSystem("cannot make a mount namespace");
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    failSystem("cannot make the mounts private");
  }
  entered = true;
}

}  // namespace

std::string powerCutDaemon() {
#ifdef TARVINE_POWER_CUT_DISK
  return TARVINE_POWER_CUT_DISK;
#else
  return "";
#endif
}

bool everyPartRequired() {
#ifdef TARVINE_REQUIRE_ALL
  return true;
#else
  return false;
#endif
}

std::string powerCutUnavailable() {
  if (powerCutDaemon().empty()) return "the build has no FUSE 3 (libfuse3-dev): no power-cut disk";
  if (::geteuid() != 0) return "needs root, to attach loop devices and mount file systems";
  if (::access("/dev/fuse", R_OK | W_OK) != 0) return "no /dev/fuse (FUSE)";
  if (::access("/dev/loop-control", R_OK | W_OK) != 0) return "no loop devices (/dev/loop-control)";
  const std::string kinds = readFile("/proc/filesystems");
  if (kinds.find("\text4\n") == std::string::npos) return "the kernel has no ext4";
  if (kinds.find("\tfuse\n") == std::string::npos) return "the kernel has no FUSE";
  if (programPath("mkfs.ext4").empty() || programPath("e2fsck").empty()) {
    return "no mkfs.ext4 or e2fsck (Debian package e2fsprogs)";
  }
  return "";
}

int runProgram(const std::vector<std::string>& argv, const std::string& log, unsigned seconds,
               const std::vector<std::string>& environment) {
  const pid_t pid = spawn(argv, log, environment);
  int status = waitFor(pid, std::chrono::seconds(seconds));
  if (status == -1) {
    ::kill(-pid, SIGKILL);  // its session, helpers and all
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
  return exitCode(status);
}

void removePowerCutLeftovers() {
  std::error_code missing;
  for (const auto& entry : fs::directory_iterator(fs::temp_directory_path(), missing)) {
    const std::string folder = entry.path().string();
    if (entry.path().filename().string().rfind(kRunPrefix, 0) != 0) continue;
    if (living(folder + kOwnerFile) != 0) continue;  // another test's, still running
    for (const std::string& point : mountsBelow(folder)) (void)::umount2(point.c_str(), MNT_DETACH);
    for (const std::string& device : loopsBelow(folder)) detachLoop(device);
    if (const pid_t daemon = living(folder + kDaemonFile); daemon != 0) {
      ::kill(daemon, SIGKILL);
    }
    if (mountsBelow(folder).empty()) fs::remove_all(folder, missing);
  }
}

PowerCutDisk::PowerCutDisk(const std::string& daemonProgram, std::uint64_t bytes) {
  std::string pattern = (fs::temp_directory_path() / (std::string(kRunPrefix) + "XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) failSystem("cannot make a run folder");
  run_ = pattern;
  fuse_ = run_ + "/disk";
  mountPoint_ = run_ + "/fs";
  log_ = run_ + "/log";
  try {
    enterMountNamespaceOfOurOwn();
    writeFile(run_ + kOwnerFile, identity(::getpid()));
    fs::create_directory(fuse_);
    fs::create_directory(mountPoint_);
    daemon_ = spawn({daemonProgram, fuse_, std::to_string(bytes)}, log_);
    writeFile(run_ + kDaemonFile, identity(daemon_));
    const auto deadline = Clock::now() + kMountWait;
    while (!isMounted(fuse_, kFuseType)) {
      if (waitFor(daemon_, std::chrono::seconds(0)) != -1) {
        daemon_ = -1;
        fail("the power-cut disk did not start: " + log());
      }
      if (Clock::now() >= deadline) fail("the power-cut disk did not mount: " + log());
      std::this_thread::sleep_for(kPoll);
    }
    const std::string image = run_ + "/fresh.img";
    { std::ofstream sized(image, std::ios::binary); }
    fs::resize_file(image, bytes);
    // 256-byte inodes (times in nanoseconds), the tables written now rather
    // than by a thread of the kernel's while a test runs.
    const int made = runProgram({programPath("mkfs.ext4"), "-q", "-F", "-b", "4096", "-I", "256",
                                 "-E", "lazy_itable_init=0,lazy_journal_init=0,nodiscard", image},
                                log_, kMkfsSeconds);
    if (made != 0) fail("mkfs.ext4 failed: " + log());
    load(image);
    fs::remove(image);
  } catch (...) {
    stop();
    throw;
  }
}

PowerCutDisk::~PowerCutDisk() { stop(); }

void PowerCutDisk::stop() {
  if (mounted()) {
    (void)unmountOrDetach(mountPoint_);
    const auto deadline = Clock::now() + kDetachWait;
    while (loopHolds(loopDevice_) && Clock::now() < deadline) std::this_thread::sleep_for(kPoll);
    detachLoop(loopDevice_);
    loopDevice_.clear();
  }
  if (daemon_ > 0) {
    (void)unmountOrDetach(fuse_);
    if (waitFor(daemon_, kStopWait) == -1) {
      ::kill(daemon_, SIGKILL);
      ::waitpid(daemon_, nullptr, 0);
    }
    daemon_ = -1;
  }
  // Removed only when nothing is mounted in it any more; otherwise the next
  // run's removePowerCutLeftovers() finishes the job.
  if (!run_.empty() && mountsBelow(run_).empty()) {
    std::error_code ignored;
    fs::remove_all(run_, ignored);
  }
}

void PowerCutDisk::mount() {
  if (mounted()) return;
  const std::string disk = fuse_ + "/disk";
  const int backing = ::open(disk.c_str(), O_RDWR | O_CLOEXEC);
  if (backing < 0) failSystem("cannot open " + disk);
  const int control = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
  if (control < 0) {
    ::close(backing);
    failSystem("cannot open /dev/loop-control");
  }
  int device = -1;
  std::string name;
  // Another program may take the free device between asking and attaching.
  for (int attempt = 0; attempt < 100 && device < 0; ++attempt) {
    const int number = ::ioctl(control, LOOP_CTL_GET_FREE);
    if (number < 0) break;
    name = "/dev/loop" + std::to_string(number);
    int fd = -1;
    for (int wait = 0; wait < 100 && fd < 0; ++wait) {  // until the device's node appears
      fd = ::open(name.c_str(), O_RDWR | O_CLOEXEC);
      if (fd < 0 && errno == ENOENT) std::this_thread::sleep_for(kPoll);
      if (fd < 0 && errno != ENOENT) break;
    }
    if (fd < 0) continue;
    loop_config config{};
    config.fd = static_cast<std::uint32_t>(backing);
    // Detached on its own when the file system lets it go, however the test ends.
    config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
    std::strncpy(reinterpret_cast<char*>(config.info.lo_file_name), disk.c_str(), LO_NAME_SIZE - 1);
    if (::ioctl(fd, LOOP_CONFIGURE, &config) == 0) {
      device = fd;
    } else {
      ::close(fd);
      if (errno != EBUSY) break;
    }
  }
  const int error = errno;
  ::close(control);
  ::close(backing);
  if (device < 0) {
    errno = error;
    failSystem("cannot attach a loop device to " + disk);
  }
  // The cache flushes are what the campaign cuts at: a device without a
  // write cache would send none.
  const std::string cache =
      readFile("/sys/block/" + name.substr(name.rfind('/') + 1) + "/queue/write_cache");
  if (cache.rfind("write back", 0) != 0) {
    ::close(device);
    fail(name + " sends no cache flushes (its write_cache is \"" + cache + "\")");
  }
  if (::mount(name.c_str(), mountPoint_.c_str(), "ext4", 0, kMountOptions) != 0) {
    const int failed = errno;
    ::close(device);
    errno = failed;
    failSystem("cannot mount " + name + " at " + mountPoint_);
  }
  ::close(device);  // the mount holds it now
  loopDevice_ = name;
}

void PowerCutDisk::unmount() {
  if (!mounted()) return;
  const std::string held = unmountOrDetach(mountPoint_);
  const auto deadline = Clock::now() + kDetachWait;
  while (loopHolds(loopDevice_)) {
    if (Clock::now() >= deadline) {
      fail("the file system at " + mountPoint_ + " is still busy; " + loopDevice_ +
           " is still attached; it was held by:" + held);
    }
    std::this_thread::sleep_for(kPoll);
  }
  loopDevice_.clear();
}

void PowerCutDisk::command(const std::string& line) const {
  const std::string control = fuse_ + "/control";
  const int fd = ::open(control.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) failSystem("cannot open " + control);
  const ssize_t written = ::write(fd, line.data(), line.size());
  const int error = errno;
  ::close(fd);
  if (written != static_cast<ssize_t>(line.size())) {
    errno = error;
    failSystem("the power-cut disk refused \"" + line + "\"");
  }
}

void PowerCutDisk::arm(std::uint64_t flush, std::uint64_t write, pid_t victim, std::uint32_t seed) {
  command("arm " + std::to_string(flush) + " " + std::to_string(write) + " " +
          std::to_string(victim) + " " + std::to_string(seed));
}

void PowerCutDisk::cut() { command("cut"); }

void PowerCutDisk::powerOn() {
  unmount();
  command("reset");
}

DiskCounts PowerCutDisk::counts() const {
  std::istringstream text(readFile(fuse_ + "/control"));
  DiskCounts counts;
  std::string word;
  int frozen = 0;
  text >> word >> counts.flushes >> word >> counts.writes >> word >> frozen;
  if (!text) fail("cannot read the power-cut disk's counts");
  counts.frozen = frozen != 0;
  return counts;
}

bool PowerCutDisk::fileSystemConsistent() {
  unmount();
  return runProgram({programPath("e2fsck"), "-f", "-n", fuse_ + "/disk"}, log_, kMkfsSeconds) == 0;
}

void PowerCutDisk::save(const std::string& image) { command("save " + image); }

void PowerCutDisk::load(const std::string& image) {
  unmount();
  command("load " + image);
}

std::string PowerCutDisk::log() const { return readFile(log_); }

}  // namespace tarvine::testing
