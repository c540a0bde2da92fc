#include "app/HistoryModel.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace tarvine::app {
namespace {

Status failedWith(const Keeper::Outcome& outcome) {
  return Status::error(outcome.lines.empty() ? "failed" : outcome.lines.front());
}

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
      return "Automatic snapshot";
    case history::Reason::manual:
      return "Manual snapshot";
    case history::Reason::enabled:
      return "History enabled";
    case history::Reason::beforeRestore:
      return "Before a restore";
  }
  return "Snapshot";
}

std::string plural(std::uint64_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string sizeText(std::uint64_t bytes) {
  if (bytes < 1000) return plural(bytes, "byte", "bytes");
  char* text = g_format_size(bytes);
  std::string result = text;
  g_free(text);
  return result;
}

}  // namespace

std::string relativeTime(std::int64_t then, std::int64_t now) {
  const std::int64_t ago = now - then;
  if (ago < 60) return "just now";
  if (ago < 3600) return plural(ago / 60, "minute ago", "minutes ago");
  if (ago < 86400) return plural(ago / 3600, "hour ago", "hours ago");
  if (ago < 2 * 86400) return "yesterday";
  if (ago < 31 * 86400) return plural(ago / 86400, "day ago", "days ago");
  return formatted(then, "%x");
}

std::string localTime(std::int64_t time) { return formatted(time, "%c"); }

std::string historyWindowProgram() {
  std::error_code failed;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", failed);
  if (failed) return "";
  // Beside the application in its bundle; the command line finds the bundle
  // from the build tree, or from bin/ where it is installed.
  for (const char* place :
       {"", "../Tarvine.app/Contents/MacOS/", "../lib/tarvine/Tarvine.app/Contents/MacOS/"}) {
    const std::filesystem::path program = self.parent_path() / place / "tarvine-history";
    if (::access(program.c_str(), X_OK) == 0) return program.lexically_normal().string();
  }
  return "";
}

Result<HistoryModel::Listing> HistoryModel::load(std::size_t limit, std::int64_t now) const {
  Listing listing;
  Keeper::Outcome read = keeper_.withHistory(
      target_, false, [&](history::History& history, const Container::Place& place) {
        auto versions = history.versions(place.relative, limit);
        if (!versions.ok()) return Keeper::Outcome{false, {versions.status().message()}};
        struct stat info {};
        // What it is now; what it last was, where it is gone.
        listing.isFolder = ::lstat(target_.c_str(), &info) == 0
                               ? S_ISDIR(info.st_mode)
                               : !versions->empty() && versions->front().isFolder;
        listing.repository = history.repository();
        listing.complete = versions->size() < limit;
        std::string current;
        if (!listing.isFolder) {
          auto object = history.currentObject(place.relative);
          if (object.ok()) current = *object;
        }
        for (history::Version& version : *versions) {
          Row row;
          row.what = what(version.reason);
          row.when = relativeTime(version.time, now);
          row.at = localTime(version.time);
          if (version.change == history::Version::Change::deleted) {
            row.detail = listing.isFolder ? "deleted" : "deleted here";
          } else if (listing.isFolder) {
            row.detail = plural(version.changedFiles, "file changed", "files changed");
          } else {
            row.detail = (version.size ? sizeText(*version.size) + ", " : std::string()) +
                         (version.object == current ? "same as now" : "differs from now");
          }
          row.label = row.what + ", " + row.when + " (" + row.at + "), " + row.detail;
          row.version = std::move(version);
          listing.rows.push_back(std::move(row));
        }
        return Keeper::Outcome{};
      });
  if (!read.ok) return failedWith(read);
  return listing;
}

Result<std::string> HistoryModel::copyOf(const std::string& version, const std::string& folder,
                                         const std::string& below) const {
  const std::string path = pathOf(below);
  // A folder per version, so that the copy keeps its name, and with it the
  // application that opens it.
  const std::string copies = folder + "/" + version.substr(0, 12);
  if (::mkdir(copies.c_str(), 0700) != 0 && errno != EEXIST) {
    return Status::error("cannot make " + copies + ": " + std::strerror(errno), errno);
  }
  const std::string copy = copies + "/" + path.substr(path.find_last_of('/') + 1);
  if (::access(copy.c_str(), F_OK) == 0) return copy;  // opened before: the same content
  const std::string partial = copy + ".part";
  const int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return Status::error("cannot write " + partial + ": " + std::strerror(errno), errno);
  Keeper::Outcome written = keeper_.withHistory(
      path, false, [&](history::History& history, const Container::Place& place) {
        Status copied = history.writeFileVersion(version, place.relative, fd);
        return Keeper::Outcome{copied.ok(), {copied.message()}};
      });
  // Read-only: it is a look at the past, not a place to edit.
  if (written.ok && (::fchmod(fd, 0444) != 0 || ::fsync(fd) != 0)) {
    written = {false, {std::string("cannot write the copy: ") + std::strerror(errno)}};
  }
  ::close(fd);
  if (written.ok && ::rename(partial.c_str(), copy.c_str()) != 0) {
    written = {false, {std::string("cannot write the copy: ") + std::strerror(errno)}};
  }
  if (!written.ok) {
    ::unlink(partial.c_str());
    return failedWith(written);
  }
  return copy;
}

Keeper::Outcome HistoryModel::restore(const std::string& version, history::Restored& restored,
                                      const std::string& below) const {
  return keeper_.restore(pathOf(below), version, &restored);
}

Result<std::vector<history::VersionFile>> HistoryModel::files(const std::string& version) const {
  std::vector<history::VersionFile> found;
  Keeper::Outcome read = keeper_.withHistory(
      target_, false, [&](history::History& history, const Container::Place& place) {
        auto files = history.files(version, place.relative);
        if (!files.ok()) return Keeper::Outcome{false, {files.status().message()}};
        found = std::move(*files);
        return Keeper::Outcome{};
      });
  if (!read.ok) return failedWith(read);
  return found;
}

}  // namespace tarvine::app
