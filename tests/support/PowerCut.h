#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tarvine::testing {

// The power-cut disk's daemon (tests/support/PowerCutDisk.cpp) as built for
// this test program, or "" where the build has none (without FUSE 3).
std::string powerCutDaemon();
// Why the power-cut disk cannot run here, or "" when it can: it needs the
// daemon, root, /dev/fuse, loop devices, ext4 and mkfs.ext4.
std::string powerCutUnavailable();
// Whether the build asks for every part of the suite (TARVINE_REQUIRE_ALL,
// as `make check` does): a harness that cannot run is then a failure.
bool everyPartRequired();

// Skips the test when the power-cut disk cannot run here, saying why; fails
// instead where the build requires every part.
#define TARVINE_REQUIRE_POWER_CUT_DISK()                                       \
  do {                                                                         \
    const std::string unavailable = ::tarvine::testing::powerCutUnavailable(); \
    if (!unavailable.empty()) {                                                \
      if (::tarvine::testing::everyPartRequired()) FAIL() << unavailable;      \
      GTEST_SKIP() << unavailable;                                             \
    }                                                                          \
  } while (false)

// Runs `argv` with its output appended to `log` (never to the caller's own
// output, which a test runner may be reading), at most `seconds`, with the
// "NAME=value" entries of `environment` added to ours; its exit status, or
// 128 + the signal when it was killed or timed out.
int runProgram(const std::vector<std::string>& argv, const std::string& log, unsigned seconds,
               const std::vector<std::string>& environment = {});

// What the disk has seen since it was last armed or reset.
struct DiskCounts {
  std::uint64_t flushes = 0;
  std::uint64_t writes = 0;
  bool frozen = false;
};

// An ext4 file system on a disk whose write cache is lost when the power is
// cut: the disk is the file of a FUSE daemon (tests/support/PowerCutDisk.cpp)
// that holds every write until the disk's cache is flushed, attached to a
// loop device whose flushes reach it as fsync. A cut loses what the cache
// still held; the power then comes back, and the file system is mounted
// again (replaying its journal), as after a real power cut.
//
// Everything lives in a run folder of its own under the temporary folder, and
// is mounted in a mount namespace that the test process enters at the first
// disk (no other program's namespace can hold a copy of its mounts, and they
// go with the process); the destructor unmounts, detaches and stops whatever
// is left, even when a test failed midway. Failures of the disk itself throw
// std::runtime_error.
class PowerCutDisk {
 public:
  // Starts the daemon with a fresh ext4 of `bytes` on its disk, not mounted.
  PowerCutDisk(const std::string& daemonProgram, std::uint64_t bytes);
  ~PowerCutDisk();
  PowerCutDisk(const PowerCutDisk&) = delete;
  PowerCutDisk& operator=(const PowerCutDisk&) = delete;

  // Where the file system is mounted, and a folder of the run outside it.
  const std::string& mountPoint() const { return mountPoint_; }
  const std::string& runFolder() const { return run_; }

  // Attaches the disk to a loop device and mounts its file system.
  void mount();
  // Unmounts the file system and waits until the loop device lets the disk go.
  void unmount();
  // Whether the file system is mounted now.
  bool mounted() const { return !loopDevice_.empty(); }

  // Arms the cut: at the `flush`-th flush or the `write`-th write from now
  // (0: never), killing `victim` (a negative pid: a process group). With a
  // `seed`, a random half of the cached blocks reach the disk before the cut.
  void arm(std::uint64_t flush, std::uint64_t write, pid_t victim, std::uint32_t seed);
  // Cuts the power now (when the armed cut has not come).
  void cut();
  // The power comes back: the cache is lost, nothing is armed. Unmounted first.
  void powerOn();
  DiskCounts counts() const;

  // Checks the file system (unmounted) with e2fsck, changing nothing: whether
  // it is consistent.
  bool fileSystemConsistent();

  // The disk as it is now (without its cache) to a file, and back.
  void save(const std::string& image);
  void load(const std::string& image);

  // The daemon's and the helpers' output, for a failure's message.
  std::string log() const;

 private:
  void command(const std::string& line) const;
  void stop();

  std::string run_;
  std::string fuse_;
  std::string mountPoint_;
  std::string log_;
  pid_t daemon_ = -1;
  std::string loopDevice_;
};

// Removes what runs of the power-cut disk killed before cleaning up left: the
// file systems mounted in their run folders, their loop devices, daemons and
// folders. Runs that are still going (another test's) are left alone.
void removePowerCutLeftovers();

}  // namespace tarvine::testing
