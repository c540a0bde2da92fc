#include "roots/Preferences.h"

#include <glib/gi18n.h>
#include <sys/stat.h>

#include <cerrno>

#include <nlohmann/json.hpp>

#include "platform/posix/PosixFileSystem.h"
#include "roots/Language.h"

namespace tarvine::roots {
namespace {

using language::formatted;

constexpr const char* kNotificationsKey = "notifications";

FileURL fileOf(const std::string& container) {
  return FileURL::fromPath(container, true)
      .appendingPathComponent(std::string(Preferences::fileName), false);
}

// The file's object; an empty one when there is no file yet.
Result<nlohmann::json> readObject(const std::string& container) {
  PosixFileSystem files(PosixFileSystem::dataHomeFromEnvironment());
  const FileURL file = fileOf(container);
  auto text = files.readFile(file);
  if (!text.ok()) {
    if (text.status().errorNumber() == ENOENT) return nlohmann::json::object();
    return text.status();
  }
  nlohmann::json object = nlohmann::json::parse(*text, nullptr, /*allow_exceptions=*/false);
  if (!object.is_object()) {
    return Status::failure(Status::Kind::damaged,
                           formatted(_("not a preferences file: %s"), file.path().c_str()));
  }
  return object;
}

}  // namespace

Result<Preferences> Preferences::read(const std::string& container) {
  auto object = readObject(container);
  if (!object.ok()) return object.status();
  Preferences preferences;
  const auto notifications = object->find(kNotificationsKey);
  if (notifications != object->end()) {
    if (!notifications->is_boolean()) {
      return Status::failure(Status::Kind::damaged, formatted(_("not a preferences file: %s"),
                                                              fileOf(container).path().c_str()));
    }
    preferences.notifications = notifications->get<bool>();
  }
  return preferences;
}

Status Preferences::change(const Container& container,
                           const std::function<void(Preferences&)>& change) {
  auto lock = container.lock();
  if (!lock.ok()) return lock.status();
  auto object = readObject(container.path());
  if (!object.ok() && object.status().kind() != Status::Kind::damaged) return object.status();
  nlohmann::json written = object.ok() ? std::move(*object) : nlohmann::json::object();
  auto preferences = read(container.path());
  Preferences changed = preferences.ok() ? *preferences : Preferences();
  change(changed);
  written[kNotificationsKey] = changed.notifications;
  PosixFileSystem files(PosixFileSystem::dataHomeFromEnvironment());
  if (Status made = files.createDirectory(FileURL::fromPath(container.path(), true)); !made.ok()) {
    return made;
  }
  return files.writeFileAtomically(fileOf(container.path()), written.dump(2) + "\n");
}

const Preferences& PreferencesFile::current() {
  struct stat info {};
  if (::stat(fileOf(container_).path().c_str(), &info) != 0) {
    // Never written, or removed: the defaults.
    if (errno == ENOENT) {
      current_ = Preferences();
      seen_ = false;
    }
    return current_;
  }
  if (seen_ && info.st_dev == device_ && info.st_ino == inode_ &&
      info.st_ctim.tv_sec == changed_.tv_sec && info.st_ctim.tv_nsec == changed_.tv_nsec) {
    return current_;
  }
  auto read = Preferences::read(container_);
  if (!read.ok()) return current_;
  current_ = *read;
  seen_ = true;
  device_ = info.st_dev;
  inode_ = info.st_ino;
  changed_ = info.st_ctim;
  return current_;
}

}  // namespace tarvine::roots
