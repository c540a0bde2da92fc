#include "app/SpoolReader.h"

#include <dirent.h>
#include <fcntl.h>
#include <glib/gi18n.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "roots/Language.h"

namespace tarvine::app {
namespace {

using roots::language::formatted;

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

bool isRequestName(std::string_view name) {
  return name.size() > 5 && name.front() != '.' && endsWith(name, ".json");
}

// The hidden name a writer gives its unfinished file: ".NAME.RANDOM.tmp".
bool isTemporaryName(std::string_view name) {
  return name.size() > 1 && name.front() == '.' && endsWith(name, ".tmp");
}

constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;

std::int64_t modifiedNanoseconds(const struct stat& info) {
  return std::int64_t{info.st_mtim.tv_sec} * kNanosecondsPerSecond + info.st_mtim.tv_nsec;
}

// Moves `from` to `to` unless `to` exists. File systems without RENAME_NOREPLACE
// get a hard link and an unlink, which refuse an existing name just the same.
bool renameWithoutReplacing(int directory, const std::string& from, const std::string& to) {
  if (::renameat2(directory, from.c_str(), directory, to.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS) return false;
  if (::linkat(directory, from.c_str(), directory, to.c_str(), 0) != 0) return false;
  if (::unlinkat(directory, from.c_str(), 0) == 0) return true;
  int error = errno;
  ::unlinkat(directory, to.c_str(), 0);
  errno = error;
  return false;
}

// Reads at most `limit` + 1 bytes, so that a file that grew past the limit
// after it was examined is still caught.
std::optional<std::string> readAtMost(int fd, std::size_t limit) {
  std::string content(limit + 1, '\0');
  std::size_t used = 0;
  while (used < content.size()) {
    ssize_t n = ::read(fd, content.data() + used, content.size() - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  content.resize(used);
  return content;
}

}  // namespace

SpoolReader::SpoolReader(FileDescriptor container, FileDescriptor lock)
    : container_(std::move(container)), lock_(std::move(lock)) {}

Result<SpoolReader> SpoolReader::open(const std::string& container) {
  FileDescriptor directory(::open(container.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!directory.valid()) {
    return Status::error(
        formatted(_("cannot open %s: %s"), container.c_str(), std::strerror(errno)), errno);
  }
  FileDescriptor lock(::openat(directory.get(), std::string(lockFileName).c_str(),
                               O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!lock.valid()) {
    return Status::error(formatted(_("cannot open the lock file in %s: %s"), container.c_str(),
                                   std::strerror(errno)),
                         errno);
  }
  if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) {
      return Status::error(formatted(_("another consumer already serves %s"), container.c_str()),
                           EWOULDBLOCK);
    }
    return Status::error(
        formatted(_("cannot lock %s: %s"), container.c_str(), std::strerror(errno)), errno);
  }
  const std::string spool(spoolDirectoryName);
  FileDescriptor probe(
      ::openat(directory.get(), spool.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!probe.valid() && errno != ENOENT) {
    return Status::error(formatted(_("the spool %s/%s is not a real directory: %s"),
                                   container.c_str(), spool.c_str(), std::strerror(errno)),
                         errno);
  }
  return SpoolReader(std::move(directory), std::move(lock));
}

void SpoolReader::sweep(const Report& report) {
  const std::string spoolName(spoolDirectoryName);
  FileDescriptor spool(::openat(container_.get(), spoolName.c_str(),
                                O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!spool.valid()) {
    // ELOOP for a link, ENOTDIR for anything else that is not a directory.
    if (errno != ENOENT && !refused_) {
      refused_ = true;
      report({Outcome::Kind::spoolRefused, spoolName, std::strerror(errno), std::nullopt});
    }
    return;
  }
  refused_ = false;
  const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
  for (const Entry& entry : entries(spool.get())) {
    const Identity identity{entry.name, entry.info.st_dev, entry.info.st_ino,
                            modifiedNanoseconds(entry.info)};
    if (skipped_.count(identity) != 0) continue;
    if (isTemporaryName(entry.name)) {
      // Only regular files, and never a fresh one: its writer may still be busy.
      if (S_ISREG(entry.info.st_mode) && now - entry.info.st_mtim.tv_sec > abandonedAfter.count() &&
          ::unlinkat(spool.get(), entry.name.c_str(), 0) == 0) {
        report({Outcome::Kind::temporaryRemoved, entry.name, "", std::nullopt});
      }
      continue;
    }
    take(spool.get(), entry, identity, report);
  }
}

std::vector<SpoolReader::Entry> SpoolReader::entries(int spool) {
  std::vector<Entry> found;
  // The listing takes a descriptor of its own, which closedir closes; one
  // that fdopendir refused is still this function's to close.
  FileDescriptor copy(::dup(spool));
  DIR* listing = copy.valid() ? ::fdopendir(copy.get()) : nullptr;
  if (listing == nullptr) return found;
  (void)copy.release();
  while (dirent* entry = ::readdir(listing)) {
    std::string name = entry->d_name;
    if (!isRequestName(name) && !isTemporaryName(name)) continue;
    Entry met{std::move(name), {}};
    if (::fstatat(spool, met.name.c_str(), &met.info, AT_SYMLINK_NOFOLLOW) != 0) {
      continue;  // taken away meanwhile
    }
    found.push_back(std::move(met));
  }
  ::closedir(listing);
  // Oldest first: the order in which the requests were made.
  std::sort(found.begin(), found.end(), [](const Entry& a, const Entry& b) {
    return std::tie(a.info.st_mtim.tv_sec, a.info.st_mtim.tv_nsec, a.name) <
           std::tie(b.info.st_mtim.tv_sec, b.info.st_mtim.tv_nsec, b.name);
  });
  return found;
}

void SpoolReader::take(int spool, const Entry& entry, const Identity& identity,
                       const Report& report) {
  const std::string& name = entry.name;
  if (!S_ISREG(entry.info.st_mode)) {
    return setAside(spool, name, _("not a regular file"), identity, report);
  }
  if (static_cast<std::uintmax_t>(entry.info.st_size) > maxRequestBytes) {
    return setAside(spool, name, _("larger than a request can be"), identity, report);
  }
  FileDescriptor file(
      ::openat(spool, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!file.valid()) {
    if (errno == ENOENT) return;  // taken away meanwhile
    return setAside(spool, name,
                    errno == ELOOP ? std::string(_("not a regular file"))
                                   : formatted(_("cannot be read: %s"), std::strerror(errno)),
                    identity, report);
  }
  // The name may have been swapped for something else since it was examined.
  struct stat opened {};
  if (::fstat(file.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) {
    return setAside(spool, name, _("not a regular file"), identity, report);
  }
  auto content = readAtMost(file.get(), maxRequestBytes);
  if (!content || content->size() > maxRequestBytes) {
    return setAside(spool, name, content ? _("larger than a request can be") : _("cannot be read"),
                    identity, report);
  }
  // The decoder's message may quote the file; it is not passed on.
  Result<HistoryRequest> request = HistoryRequest::decode(*content);
  if (!request.ok()) return setAside(spool, name, _("not a request"), identity, report);
  report({Outcome::Kind::handled, name, "", request.value()});
  if (::unlinkat(spool, name.c_str(), 0) != 0 && errno != ENOENT) {
    skipped_.insert(identity);
    report({Outcome::Kind::unremovable, name, std::strerror(errno), std::nullopt});
  }
}

void SpoolReader::setAside(int spool, const std::string& name, const std::string& reason,
                           const Identity& identity, const Report& report) {
  for (int attempt = 1; attempt < 1000; ++attempt) {
    const std::string target =
        attempt == 1 ? name + ".rejected" : name + "." + std::to_string(attempt) + ".rejected";
    if (renameWithoutReplacing(spool, name, target)) {
      report({Outcome::Kind::setAside, name,
              formatted(_("%s; kept as %s"), reason.c_str(), target.c_str()), std::nullopt});
      return;
    }
    if (errno == ENOENT) return;  // taken away meanwhile
    if (errno != EEXIST) break;
  }
  const std::string why = std::strerror(errno);
  skipped_.insert(identity);
  report({Outcome::Kind::setAside, name,
          formatted(_("%s; cannot set it aside (%s), so it is skipped from now on"), reason.c_str(),
                    why.c_str()),
          std::nullopt});
}

}  // namespace tarvine::app
