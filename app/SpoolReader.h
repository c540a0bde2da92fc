#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "foundation/Status.h"
#include "platform/posix/FileDescriptor.h"
#include "requests/HistoryRequest.h"
#include "requests/RequestSubmitter.h"

namespace tarvine::app {

// The main application's side of the request spool: the one consumer of one
// group container. Anyone who can write the spool can put anything there, so
// it trusts nothing it finds:
// - it works through a descriptor of the container and opens "requests" with
//   no link followed, so a spool replaced by a link is refused, not read;
// - it reads regular files only, opened without following links, and none
//   larger than a request can be; everything else is set aside under a new
//   name, never overwriting what was set aside before;
// - each request is handled once: removed when done, or, when it cannot be
//   removed, remembered and skipped;
// - hidden temporary files that a killed writer left long ago are removed.
class SpoolReader {
 public:
  // The extension's name for the spool: one name, where it is written.
  static constexpr std::string_view spoolDirectoryName = RequestSubmitter::spoolDirectoryName;
  static constexpr std::string_view lockFileName = ".tarvine-app.lock";
  // Requests are a few hundred bytes; the cap leaves room for long paths.
  static constexpr std::size_t maxRequestBytes = 64 * 1024;
  // A writer finishes within milliseconds; a temporary this old was abandoned.
  static constexpr std::chrono::seconds abandonedAfter{60 * 60};

  // What became of one entry of the spool. Names are as found: they may hold
  // any byte, so whoever prints them must escape them.
  struct Outcome {
    enum class Kind {
      handled,           // `request` was read; it has been removed unless `unremovable` follows
      unremovable,       // a handled request that could not be removed; it is skipped from now on
      setAside,          // not a request; renamed to `detail`, or `detail` says why it could not be
      temporaryRemoved,  // an abandoned temporary file was removed
      spoolRefused,      // the spool is not a real directory; `detail` says why
    };
    Kind kind;
    std::string name;
    std::string detail;
    std::optional<HistoryRequest> request;
  };
  using Report = std::function<void(const Outcome&)>;

  // Opens the container and takes its consumer lock, held for the reader's
  // life. Fails when another consumer holds it, or the spool exists but is
  // not a real directory.
  static Result<SpoolReader> open(const std::string& container);

  // One pass: requests oldest first, each reported as handled before it is
  // removed. A missing spool is an empty one.
  void sweep(const Report& report);

 private:
  explicit SpoolReader(FileDescriptor container, FileDescriptor lock);

  // The file a name stood for when it was met, so that a new file under the
  // same name is not mistaken for one already dealt with.
  using Identity = std::tuple<std::string, dev_t, ino_t, std::int64_t>;

  struct Entry {
    std::string name;
    struct stat info;
  };
  // The spool's requests and temporary files, oldest first.
  static std::vector<Entry> entries(int spool);
  // Hands a request on and removes it, or sets aside what is no request.
  void take(int spool, const Entry& entry, const Identity& identity, const Report& report);
  void setAside(int spool, const std::string& name, const std::string& reason,
                const Identity& identity, const Report& report);

  FileDescriptor container_;
  FileDescriptor lock_;
  std::set<Identity> skipped_;
  bool refused_ = false;  // reported once until the spool is usable again
};

}  // namespace tarvine::app
