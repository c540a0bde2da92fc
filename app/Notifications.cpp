#include "app/Notifications.h"

#include <glib.h>
#include <glib/gi18n.h>

#include <cerrno>
#include <cstdarg>
#include <nlohmann/json.hpp>

#include "platform/posix/PosixFileSystem.h"

namespace tarvine::app {
namespace {

// Paths and files named in a notice at most; the rest are counted.
constexpr std::size_t kNamedAtMost = 5;

std::string format(const char* pattern, ...) G_GNUC_PRINTF(1, 2);
std::string format(const char* pattern, ...) {
  va_list arguments;
  va_start(arguments, pattern);
  char* text = g_strdup_vprintf(pattern, arguments);
  va_end(arguments);
  std::string made = text != nullptr ? text : "";
  g_free(text);
  return made;
}

// A path's last name, as people know a folder or a file.
std::string nameOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos || slash + 1 == path.size()) return path;
  return path.substr(slash + 1);
}

std::string folderOf(const std::string& root, const std::string& below) {
  const auto slash = below.find_last_of('/');
  return slash == std::string::npos ? root : root + "/" + below.substr(0, slash);
}

bool diskFull(const Status& status) {
  return status.kind() == Status::Kind::io &&
         (status.errorNumber() == ENOSPC || status.errorNumber() == EDQUOT);
}

// A snapshot's failure by what the user can do about it; the same name twice
// is told once.
std::string failureName(const Status& status) {
  if (diskFull(status)) return "full";
  return std::string(Status::kindName(status.kind()));
}

// `lines`, the first kNamedAtMost of them, and how many more.
std::string listed(const std::vector<std::string>& lines) {
  std::string text;
  for (std::size_t i = 0; i < lines.size() && i < kNamedAtMost; ++i) {
    text += (text.empty() ? "" : "\n") + lines[i];
  }
  if (lines.size() > kNamedAtMost) {
    const std::size_t more = lines.size() - kNamedAtMost;
    text += "\n" + format(ngettext("and %zu more", "and %zu more", more), more);
  }
  return text;
}

std::string whyRestoreFailed(const Status& status) {
  switch (status.kind()) {
    case Status::Kind::noEarlierVersion:
      return _("It has no earlier version to go back to.");
    case Status::Kind::notWatched:
      return _("It is not in a watched folder.");
    case Status::Kind::notFound:
      return _("That version of it is not in its history.");
    case Status::Kind::unavailable:
      return _("Its folder is not available now.");
    case Status::Kind::damaged:
      return _("Its history is damaged.");
    default:
      return diskFull(status) ? _("The disk is full.") : status.message();
  }
}

}  // namespace

Notifications::Notifications(NoticeSender& sender, std::string container)
    : sender_(sender), container_(std::move(container)), preferences_(container_) {
  PosixFileSystem files(PosixFileSystem::dataHomeFromEnvironment());
  auto text = files.readFile(
      FileURL::fromPath(container_, true).appendingPathComponent(std::string(toldFileName), false));
  if (!text.ok()) return;  // nothing told yet, or forgotten: told again at worst
  const nlohmann::json told = nlohmann::json::parse(*text, nullptr, /*allow_exceptions=*/false);
  if (!told.is_object()) return;
  try {
    for (const auto& root : told.value("unavailable", nlohmann::json::array())) {
      unavailable_.insert(root.get<std::string>());
    }
    const nlohmann::json failed = told.value("failed", nlohmann::json::object());
    for (const auto& [root, name] : failed.items()) failed_[root] = name.get<std::string>();
    for (const auto& mirror : told.value("mirrorsFailing", nlohmann::json::array())) {
      mirrorsFailing_.emplace(mirror.at(0).get<std::string>(), mirror.at(1).get<std::string>());
    }
    const nlohmann::json unreadable = told.value("unreadable", nlohmann::json::object());
    for (const auto& [root, files] : unreadable.items()) {
      for (const auto& file : files) {
        unreadable_[root].emplace(file.at(0).get<std::string>(), file.at(1).get<int>());
      }
    }
  } catch (const nlohmann::json::exception&) {
    // A file this did not write: what it said so far stands.
  }
}

void Notifications::send(const Notice& notice) {
  if (on()) sender_.send(notice);
}

void Notifications::remember() {
  nlohmann::json told{
      {"unavailable", unavailable_}, {"failed", failed_}, {"unreadable", nlohmann::json::object()}};
  told["mirrorsFailing"] = mirrorsFailing_;
  for (const auto& [root, files] : unreadable_) {
    if (!files.empty()) told["unreadable"][root] = files;
  }
  PosixFileSystem fileSystem(PosixFileSystem::dataHomeFromEnvironment());
  // Not kept, it is told again after a restart: no reason to stop here. A
  // name that is not UTF-8 is kept changed, and so told again too.
  (void)fileSystem.writeFileAtomically(
      FileURL::fromPath(container_, true).appendingPathComponent(std::string(toldFileName), false),
      told.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

void Notifications::availability(const std::string& root, const Status& status) {
  const std::string id = "availability:" + root;
  const Notice::Action click{std::string(showRootAction), root, ""};
  if (status.kind() == Status::Kind::unavailable) {
    if (!unavailable_.insert(root).second) return;
    remember();
    send({id, format(_("%s is not available"), nameOf(root).c_str()),
          format(_("The folder %s is missing, or the disk it is on is not connected. Its "
                   "snapshots resume once it is back."),
                 root.c_str()),
          false, click, std::nullopt});
  } else if (status.ok() && unavailable_.erase(root) != 0) {
    remember();
    send({id, format(_("%s is back"), nameOf(root).c_str()),
          format(_("The folder %s is there again, and its snapshots resume."), root.c_str()), false,
          click, std::nullopt});
  }
}

void Notifications::snapshotted(const std::string& root,
                                const Result<roots::Keeper::Taken>& taken) {
  const std::string failedId = "snapshot:" + root;
  if (!taken.ok()) {
    const Status& why = taken.status();
    if (why.kind() == Status::Kind::unavailable) return availability(root, why);
    if (why.kind() == Status::Kind::notWatched) return;  // no longer a root: nothing to tell
    const std::string name = failureName(why);
    if (failed_[root] == name) return;
    failed_[root] = name;
    remember();
    const std::string folder = nameOf(root);
    Notice notice{failedId, format(_("No snapshot of %s"), folder.c_str()), why.message(),
                  true,     {std::string(showRootAction), root, ""},        std::nullopt};
    if (diskFull(why)) {
      notice.title = format(_("No snapshot of %s: the disk is full"), folder.c_str());
      notice.body =
          _("The disk that keeps its history has no space left. Once there is, the "
            "next snapshot follows on its own.");
    } else if (why.kind() == Status::Kind::damaged) {
      notice.title = format(_("No snapshot of %s: its history is damaged"), folder.c_str());
      notice.body = format(_("Part of its history cannot be read. \"tarvine check %s\" says "
                             "what is damaged."),
                           root.c_str());
    }
    return send(notice);
  }

  availability(root, Status());  // a snapshot was taken: it is there
  bool changed = false;
  if (failed_.erase(root) != 0) {
    changed = true;
    sender_.withdraw(failedId);
  }
  Told& told = unreadable_[root];
  Told now;
  std::vector<const history::Skipped*> fresh;
  for (const history::Skipped& skipped : taken->snapshot.skipped) {
    std::pair<std::string, int> key{skipped.path, static_cast<int>(skipped.kind)};
    if (told.count(key) == 0 && now.count(key) == 0) fresh.push_back(&skipped);
    now.insert(std::move(key));
  }
  // A snapshot that read every folder says which files are readable again:
  // forgotten, so that they are told of if they cannot be read once more.
  if (taken->snapshot.readWhole) {
    changed |= std::erase_if(told, [&](const auto& key) { return now.count(key) == 0; }) != 0;
  }
  if (!fresh.empty() && on()) {
    std::vector<std::string> lines;
    std::vector<const history::Skipped*> telling;
    for (const history::Skipped* skipped : fresh) {
      if (told.size() >= maxToldPerRoot) break;
      told.emplace(skipped->path, static_cast<int>(skipped->kind));
      telling.push_back(skipped);
      lines.push_back(format(skipped->kind == history::Skipped::Kind::changedWhileRead
                                 ? _("%s (it kept changing while it was read)")
                                 : _("%s (it could not be read)"),
                             skipped->path.c_str()));
    }
    if (!telling.empty()) {
      changed = true;
      const std::size_t count = telling.size();
      // The folder that holds them, when they are all in one.
      std::string folder = folderOf(root, telling.front()->path);
      for (const history::Skipped* skipped : telling) {
        if (folderOf(root, skipped->path) != folder) folder = root;
      }
      send({"unreadable:" + root,
            format(ngettext("%zu file left out of the history of %s",
                            "%zu files left out of the history of %s", count),
                   count, nameOf(root).c_str()),
            listed(lines),
            false,
            {std::string(showFolderAction), folder, ""},
            std::nullopt});
    }
  }
  if (told.empty()) unreadable_.erase(root);
  if (changed) remember();
}

void Notifications::healed(const roots::Keeper::Healing& healing) {
  const history::Healed& healed = healing.healed;
  send({"healed:" + healing.root,
        format(_("The history of %s was repaired"), nameOf(healing.root).c_str()),
        healed.tip.empty()
            ? std::string(_("No snapshot of it could be read whole: it starts again with the next "
                            "snapshot. What could not be read is kept aside in the history."))
            : format(_("Its newest snapshots could not be read whole and were set aside; it goes "
                       "on from the snapshot of %s, the newest intact one."),
                     history::shortId(healed.tip).c_str()),
        true,
        {std::string(showRootAction), healing.root, ""},
        std::nullopt});
}

void Notifications::restored(const std::string& path, const Result<history::Restored>& restored,
                             bool undoing) {
  const std::string id = "restore:" + path, name = nameOf(path);
  const Notice::Action click{std::string(showHistoryAction), path, ""};
  if (!restored.ok()) {
    return send({id,
                 format(undoing ? _("Could not undo the restore of %s") : _("Could not restore %s"),
                        name.c_str()),
                 whyRestoreFailed(restored.status()), true, click, std::nullopt});
  }
  if (undoing) {
    return send({id, format(_("Undone: %s"), name.c_str()),
                 _("It is as it was before the restore."), false, click, std::nullopt});
  }
  const std::size_t written = restored->written.size();
  std::string body = format(ngettext("%zu file written", "%zu files written", written), written);
  if (written > 0) body += ":\n" + listed(restored->written);
  if (!restored->notReplaced.empty()) {
    // Left as they were: what they hold could not be read to keep it first.
    body += "\n" + std::string(_("Not replaced, as they could not be read:")) + "\n" +
            listed(restored->notReplaced);
  }
  Notice notice{id, format(_("Restored %s"), name.c_str()), body, false, click, std::nullopt};
  if (!restored->undo.empty()) {
    notice.button.emplace(_("Undo"),
                          Notice::Action{std::string(undoRestoreAction), path, restored->undo});
  }
  send(notice);
}

void Notifications::mirrorsListed(
    const std::map<std::pair<std::string, std::string>, std::int64_t>& failures) {
  bool changed = false;
  for (auto told = mirrorsFailing_.begin(); told != mirrorsFailing_.end();) {
    const auto listed = failures.find(*told);
    if (listed != failures.end() && listed->second > 0) {
      ++told;
      continue;
    }
    sender_.withdraw("mirror:" + told->first + "\n" + told->second);
    told = mirrorsFailing_.erase(told);
    changed = true;
  }
  if (changed) remember();
}

void Notifications::mirrorPushed(const std::string& root, const std::string& url,
                                 const Status& status, int failures) {
  const std::string id = "mirror:" + root + "\n" + url;
  if (status.ok()) {
    if (mirrorsFailing_.erase({root, url}) == 0) return;
    remember();
    return sender_.withdraw(id);
  }
  if (failures < mirrorFailuresTold || !mirrorsFailing_.emplace(root, url).second) return;
  remember();
  std::string body;
  switch (status.kind()) {
    case Status::Kind::unavailable:
      body = format(_("Its history could not be copied to %s for a while: the disk is not "
                      "connected, or the server cannot be reached. Connect the disk or the "
                      "network; the copy catches up on its own."),
                    url.c_str());
      break;
    case Status::Kind::refused:
      body = format(_("Its history could not be copied to %s: %s\nSettle that (the server's key in "
                      "~/.ssh/known_hosts, or what else changed the mirror), then \"tarvine "
                      "mirror push %s\" tries again at once."),
                    url.c_str(), status.message().c_str(), root.c_str());
      break;
    default:
      body = format(_("Its history could not be copied to %s: %s\n\"tarvine mirror push %s\" "
                      "tries again at once."),
                    url.c_str(), status.message().c_str(), root.c_str());
  }
  send({id,
        format(_("The mirror of %s is not kept up to date"), nameOf(root).c_str()),
        body,
        false,
        {std::string(showRootAction), root, ""},
        std::nullopt});
}

}  // namespace tarvine::app
