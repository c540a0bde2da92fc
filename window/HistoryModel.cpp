#include "window/HistoryModel.h"

#include <fcntl.h>
#include <glib.h>
#include <glib/gi18n.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/posix/FileDescriptor.h"
#include "roots/Language.h"
#include "roots/Words.h"

namespace tarvine::window {
namespace {

constexpr std::size_t kPathMarkDigits = 16;

// `time` in the user's locale, in a g_date_time_format `format`.
std::string formatted(std::int64_t time, const char* format) {
  GDateTime* date = g_date_time_new_from_unix_local(time);
  if (date == nullptr) return "";
  char* text = g_date_time_format(date, format);
  std::string result = text != nullptr ? text : "";
  g_free(text);
  g_date_time_unref(date);
  return result;
}

std::string what(history::Reason reason) {
  switch (reason) {
    case history::Reason::automatic:
      return _("Automatic snapshot");
    case history::Reason::manual:
      return _("Manual snapshot");
    case history::Reason::enabled:
      return _("History enabled");
    case history::Reason::beforeRestore:
      return _("Before a restore");
  }
  return _("Snapshot");
}

// The form ngettext chose for `count` ("%llu files"), filled in with it.
std::string counted(const char* form, std::uint64_t count) {
  return roots::language::formatted(form, static_cast<unsigned long long>(count));
}

std::string sizeText(std::uint64_t bytes) {
  if (bytes < 1000)
    return counted(ngettext("%llu byte", "%llu bytes", static_cast<unsigned long>(bytes)), bytes);
  char* text = g_format_size(bytes);
  std::string result = text;
  g_free(text);
  return result;
}

// A short name for the file at `path`: the start of its path's SHA-256.
std::string pathMark(const std::string& path) {
  gchar* sum = g_compute_checksum_for_string(G_CHECKSUM_SHA256, path.data(),
                                             static_cast<gssize>(path.size()));
  std::string mark(sum, kPathMarkDigits);
  g_free(sum);
  return mark;
}

}  // namespace

std::string relativeTime(std::int64_t then, std::int64_t now) {
  const std::int64_t ago = now - then;
  if (ago < 60) return _("just now");
  if (ago < 3600)
    return counted(
        ngettext("%llu minute ago", "%llu minutes ago", static_cast<unsigned long>(ago / 60)),
        ago / 60);
  if (ago < 86400)
    return counted(
        ngettext("%llu hour ago", "%llu hours ago", static_cast<unsigned long>(ago / 3600)),
        ago / 3600);
  if (ago < 2 * 86400) return _("yesterday");
  if (ago < 31 * 86400)
    return counted(
        ngettext("%llu day ago", "%llu days ago", static_cast<unsigned long>(ago / 86400)),
        ago / 86400);
  return formatted(then, "%x");
}

std::string localTime(std::int64_t time) { return formatted(time, "%c"); }

Result<HistoryModel::Listing> HistoryModel::load(std::size_t limit, std::int64_t now) const {
  auto read = keeper_.versions(target_, limit, /*current=*/true);
  if (!read.ok()) return read.status();
  Listing listing;
  struct stat info {};
  // What it is now; what it last was, where it is gone.
  listing.isFolder = ::lstat(target_.c_str(), &info) == 0
                         ? S_ISDIR(info.st_mode)
                         : !read->versions.empty() && read->versions.front().isFolder;
  listing.repository = read->repository;
  listing.complete = read->versions.size() < limit;
  if (read->healed) listing.notice = roots::words::healed({read->root, *read->healed});
  // The pins and the policy, as `tarvine keep` reads them: the window
  // reloads when either changes.
  auto kept = keeper_.retention(read->root);
  if (!kept.ok()) return kept.status();
  const history::Retention& policy = kept->retention;
  const std::string name = read->root.substr(read->root.find_last_of('/') + 1);
  listing.keeps =
      policy.sizeLimit
          // TRANSLATORS: the watched folder's name, its retention policy as
          // typed (keep it as it is: "1d:1h,1w:1d,..."), and its size limit
          // ("2 GB").
          ? roots::language::formatted(_("Policy of %s: keeps %s, size limit %s. A version kept "
                                         "always stays whatever it says."),
                                       name.c_str(), policy.text().c_str(),
                                       roots::words::bytes(*policy.sizeLimit).c_str())
          // TRANSLATORS: the watched folder's name and its retention policy as
          // typed (keep it as it is: "1d:1h,1w:1d,...").
          : roots::language::formatted(_("Policy of %s: keeps %s, size limit none. A version "
                                         "kept always stays whatever it says."),
                                       name.c_str(), policy.text().c_str());
  for (history::Version& version : read->versions) {
    Row row;
    row.what = what(version.reason);
    row.when = relativeTime(version.time, now);
    row.at = localTime(version.time);
    if (version.change == history::Version::Change::deleted) {
      row.detail = listing.isFolder ? _("deleted") : _("deleted here");
    } else if (listing.isFolder) {
      row.detail = counted(ngettext("%llu file changed", "%llu files changed",
                                    static_cast<unsigned long>(version.changedFiles)),
                           version.changedFiles);
    } else {
      const bool same = version.object == read->current;
      row.detail =
          !version.size ? std::string(same ? _("same as now") : _("differs from now"))
          // TRANSLATORS: the file's size in this version ("12 bytes", "1.2 kB").
          : same ? roots::language::formatted(_("%s, same as now"), sizeText(*version.size).c_str())
                 // TRANSLATORS: the file's size in this version ("12 bytes", "1.2 kB").
                 : roots::language::formatted(_("%s, differs from now"),
                                              sizeText(*version.size).c_str());
    }
    row.pinned =
        std::find(kept->pinned.begin(), kept->pinned.end(), version.id) != kept->pinned.end();
    row.label =
        row.pinned
            // TRANSLATORS: a version in the history window, as a screen reader
            // says it: what kind of version ("Manual snapshot"), how long ago
            // ("5 minutes ago"), its date and time, and what it changed ("3
            // files changed", "12 bytes, differs from now"); it is kept
            // whatever the folder's retention policy says.
            ? roots::language::formatted(_("%s, %s (%s), %s, kept always"), row.what.c_str(),
                                         row.when.c_str(), row.at.c_str(), row.detail.c_str())
            // TRANSLATORS: a version in the history window, as a screen reader
            // says it: what kind of version ("Manual snapshot"), how long ago
            // ("5 minutes ago"), its date and time, and what it changed ("3
            // files changed", "12 bytes, differs from now").
            : roots::language::formatted(_("%s, %s (%s), %s"), row.what.c_str(), row.when.c_str(),
                                         row.at.c_str(), row.detail.c_str());
    row.version = std::move(version);
    listing.rows.push_back(std::move(row));
  }
  return listing;
}

Result<std::string> HistoryModel::copyOf(const std::string& version, const std::string& folder,
                                         const std::string& below) const {
  const std::string path = pathOf(below);
  // A folder per version and file, so that the copy keeps its name, and with
  // it the application that opens it, while two files of one name in
  // different folders stay apart.
  std::string copies = folder;
  for (const std::string& level : {history::shortId(version), pathMark(path)}) {
    copies += "/" + level;
    if (::mkdir(copies.c_str(), 0700) != 0 && errno != EEXIST) {
      return Status::error(
          roots::language::formatted(_("cannot make %s: %s"), copies.c_str(), std::strerror(errno)),
          errno);
    }
  }
  const std::string copy = copies + "/" + path.substr(path.find_last_of('/') + 1);
  if (::access(copy.c_str(), F_OK) == 0) return copy;  // opened before: the same content
  const std::string partial = copy + ".part";
  FileDescriptor fd(::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!fd.valid()) {
    return Status::error(
        roots::language::formatted(_("cannot write %s: %s"), partial.c_str(), std::strerror(errno)),
        errno);
  }
  Status written = keeper_.writeVersion(path, version, fd.get());
  // Read-only: it is a look at the past, not a place to edit.
  if (written.ok() && (::fchmod(fd.get(), 0444) != 0 || ::fsync(fd.get()) != 0 || fd.close() != 0 ||
                       ::rename(partial.c_str(), copy.c_str()) != 0)) {
    written = Status::error(
        roots::language::formatted(_("cannot write the copy: %s"), std::strerror(errno)), errno);
  }
  if (!written.ok()) {
    ::unlink(partial.c_str());
    return written;
  }
  return copy;
}

Result<history::Restored> HistoryModel::restore(const std::string& version,
                                                const std::string& below) const {
  return keeper_.restore(pathOf(below), version);
}

Result<std::string> HistoryModel::snapshot() const {
  auto taken = keeper_.snapshot(target_, history::Reason::manual, /*tidy=*/true);
  if (!taken.ok()) return taken.status();
  const std::string name = taken->root.substr(taken->root.find_last_of('/') + 1);
  const auto read = static_cast<unsigned long long>(taken->snapshot.filesRead);
  std::string said =
      taken->snapshot.id.empty()
          ? roots::language::formatted(_("Nothing in %s changed since its last snapshot."),
                                       name.c_str())
          : roots::language::formatted(ngettext("Snapshot of %s taken (%llu file read).",
                                                "Snapshot of %s taken (%llu files read).",
                                                static_cast<unsigned long>(read)),
                                       name.c_str(), read);
  // What was left out, and a packing that failed, as the command line says them.
  const std::vector<std::string> lines = roots::words::taken(*taken);
  for (std::size_t i = 1; i < lines.size(); ++i) said += "\n" + lines[i];
  return said;
}

Result<std::string> HistoryModel::pin(const std::string& version) const {
  return keeper_.pin(target_, version);
}

Result<std::string> HistoryModel::unpin(const std::string& version) const {
  return keeper_.unpin(target_, version);
}

namespace {
bool byPath(const history::VersionFile& a, const history::VersionFile& b) {
  return a.path < b.path;
}
}  // namespace

Result<std::vector<history::VersionFile>> HistoryModel::files(const std::string& version) const {
  auto files = keeper_.files(target_, version);
  // Sorted already as the history reads them; checked, as fileAt relies on it.
  if (files.ok() && !std::is_sorted(files->begin(), files->end(), byPath)) {
    std::sort(files->begin(), files->end(), byPath);
  }
  return files;
}

Result<std::vector<history::VersionFile>> HistoryModel::fileList(const std::string& version,
                                                                 std::size_t sized) const {
  auto files = keeper_.fileList(target_, version);
  if (files.ok() && !std::is_sorted(files->begin(), files->end(), byPath)) {
    std::sort(files->begin(), files->end(), byPath);
  }
  if (!files.ok()) return files;
  std::vector<std::string> first;
  for (auto file = files->begin(); file != files->end() && first.size() < sized; ++file) {
    if (!file->sized) first.push_back(file->path);
  }
  if (first.empty()) return files;
  auto sizes = keeper_.fileSizes(target_, version, first);
  if (!sizes.ok()) return sizes.status();
  for (std::size_t i = 0; i < first.size(); ++i) {
    const history::VersionFile* found = fileAt(*files, first[i]);
    if (found == nullptr || !(*sizes)[i]) continue;
    history::VersionFile& file = (*files)[static_cast<std::size_t>(found - files->data())];
    file.size = *(*sizes)[i];
    file.sized = true;
  }
  return files;
}

Result<std::vector<std::optional<std::uint64_t>>> HistoryModel::fileSizes(
    const std::string& version, const std::vector<std::string>& paths) const {
  return keeper_.fileSizes(target_, version, paths);
}

const history::VersionFile* HistoryModel::fileAt(const std::vector<history::VersionFile>& files,
                                                 std::string_view path) {
  const auto found = std::lower_bound(
      files.begin(), files.end(), path,
      [](const history::VersionFile& file, std::string_view path) { return file.path < path; });
  return found != files.end() && found->path == path ? &*found : nullptr;
}

std::string HistoryModel::fileDetail(const history::VersionFile& file) {
  return file.isLink ? std::string(_("link")) : file.sized ? sizeText(file.size) : std::string();
}

namespace {

// A translated printf format filled in.
template <class... Args>
std::string printed(const char* format, Args... args) {
  char* text = g_strdup_printf(format, args...);
  std::string result = text;
  g_free(text);
  return result;
}

}  // namespace

Result<HistoryModel::Compared> HistoryModel::compare(const std::string& version,
                                                     const std::string& other,
                                                     const std::string& below) const {
  std::optional<std::string> newer;
  if (!other.empty()) newer = other;
  auto compared = keeper_.compare(pathOf(below), version, newer);
  if (!compared.ok()) return compared.status();
  Compared result;
  result.differs = compared->differs;
  const auto size = [](std::uint64_t bytes) { return sizeText(bytes); };
  const bool toNow = other.empty();
  const auto& older = compared->olderSize;
  const auto& newerSize = compared->newerSize;
  if (!older && !newerSize) {
    result.summary = toNow ? _("Neither this version nor the folder now has this file.")
                           : _("Neither version has this file.");
  } else if (!compared->differs) {
    result.summary =
        printed(toNow ? _("The same as now (%s).") : _("The same in both versions (%s)."),
                size(*older).c_str());
  } else if (!newerSize) {
    result.summary = printed(toNow ? _("Not there now; %s in this version.")
                                   : _("Not in the other version; %s in this one."),
                             size(*older).c_str());
  } else if (!older) {
    result.summary = printed(
        toNow ? _("Not in this version; %s now.") : _("Not in this version; %s in the other one."),
        size(*newerSize).c_str());
  } else {
    result.summary = printed(toNow ? _("Differs: %s in this version, %s now.")
                                   : _("Differs: %s in this version, %s in the other one."),
                             size(*older).c_str(), size(*newerSize).c_str());
  }
  if (compared->differs && !compared->text) {
    result.summary += " ";
    result.summary += _("It is not text, or too large to compare line by line.");
  }
  if (compared->cut) {
    result.summary += " ";
    result.summary += _("Only the first part of the differences is shown.");
  }
  result.diff = std::move(compared->diff);
  return result;
}

Status HistoryModel::saveCopy(
    const std::string& version, const std::string& destination, const std::string& below,
    const std::function<bool(const history::CopyProgress&)>& progress) const {
  return keeper_.saveCopy(pathOf(below), version, destination, progress);
}

std::string HistoryModel::copyProgress(const history::CopyProgress& progress) {
  return printed(_("%zu of %zu files (%s of %s)"), progress.files, progress.allFiles,
                 sizeText(progress.bytes).c_str(), sizeText(progress.allBytes).c_str());
}

Result<std::vector<history::DeletedFile>> HistoryModel::deletedFiles(
    const std::atomic<bool>* stop) const {
  return keeper_.deletedFiles(target_, stop);
}

const history::DeletedFile* HistoryModel::deletedAt(const std::vector<history::DeletedFile>& files,
                                                    std::string_view path) {
  const auto found = std::lower_bound(
      files.begin(), files.end(), path,
      [](const history::DeletedFile& file, std::string_view path) { return file.path < path; });
  return found != files.end() && found->path == path ? &*found : nullptr;
}

std::string HistoryModel::deletedDetail(const history::DeletedFile& file, std::int64_t now) {
  return printed(_("last seen %s (%s), %s"), relativeTime(file.time, now).c_str(),
                 localTime(file.time).c_str(),
                 file.isLink ? _("link") : sizeText(file.size).c_str());
}

}  // namespace tarvine::window
