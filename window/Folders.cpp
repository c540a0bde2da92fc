#include "window/Folders.h"

#include <glib/gi18n.h>

#include "history/Thinning.h"
#include "roots/Preferences.h"
#include "roots/Words.h"
#include "window/HistoryModel.h"

namespace tarvine::window {
namespace {

// `pattern` with each "%s" replaced by the next of `values`, in order: the
// words are translated whole, with their places for what is filled in.
std::string filled(const char* pattern, std::initializer_list<std::string> values) {
  std::string text = pattern;
  std::string::size_type at = 0;
  for (const std::string& value : values) {
    at = text.find("%s", at);
    if (at == std::string::npos) break;
    text.replace(at, 2, value);
    at += value.size();
  }
  return text;
}

std::string nameOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return path.size() > 1 && slash != std::string::npos ? path.substr(slash + 1) : path;
}

const char* stateText(Folders::State state) {
  switch (state) {
    case Folders::State::automatic:
      return _("Automatic");
    case Folders::State::manual:
      return _("Manual");
    case Folders::State::paused:
      return _("Paused");
    case Folders::State::unavailable:
      return _("Unavailable");
    case Folders::State::damaged:
      return _("Damaged");
  }
  return "";
}

std::string problemOf(const roots::Keeper::Spanned& spanned) {
  if (spanned.state == roots::Keeper::State::unavailable) {
    return _(
        "The folder is not there now: its disk may not be mounted, or it was moved or "
        "deleted. Snapshots start again when it is back. If it moved, stop watching it "
        "here and add it where it is now.");
  }
  if (spanned.problem.ok()) return "";
  if (spanned.problem.kind() == Status::Kind::damaged) {
    return filled(_("Its history is damaged, and could not be repaired as it was read (%s). "
                    "Its snapshots fail until it is: to start a new history, stop watching the "
                    "folder, delete its history, and add the folder again."),
                  {spanned.problem.message()});
  }
  return filled(_("Its history cannot be read (%s). Check that its disk has room and that its "
                  "files are yours, then take a snapshot."),
                {spanned.problem.message()});
}

// A size as Retention::parseSize reads it.
std::string sizeLimitText(const std::optional<std::uint64_t>& limit) {
  if (!limit) return "none";
  std::uint64_t amount = *limit;
  const char* unit = "";
  for (const char* next : {"K", "M", "G", "T"}) {
    if (amount == 0 || amount % 1024 != 0) break;
    amount /= 1024;
    unit = next;
  }
  return std::to_string(amount) + unit;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += (text.empty() ? "" : "\n") + line;
  return text;
}

}  // namespace

Result<std::vector<Folders::Row>> Folders::load(std::int64_t now) const {
  auto spanned = keeper_.space();
  if (!spanned.ok()) return spanned.status();
  std::vector<Row> rows;
  for (const roots::Keeper::Spanned& each : *spanned) {
    Row row;
    row.path = each.root.path;
    row.name = nameOf(row.path);
    switch (each.state) {
      case roots::Keeper::State::automatic:
        row.state = State::automatic;
        break;
      case roots::Keeper::State::manual:
        row.state = State::manual;
        break;
      case roots::Keeper::State::paused:
        row.state = State::paused;
        break;
      case roots::Keeper::State::unavailable:
        row.state = State::unavailable;
        break;
    }
    if (each.problem.kind() == Status::Kind::damaged) row.state = State::damaged;
    row.stateText = stateText(row.state);
    row.automatic = modeOf(each.root) == RootMode::automatic;
    row.versions = each.span.snapshots;
    if (row.versions > 0) {
      row.when = relativeTime(each.span.newest, now);
      row.at = localTime(each.span.newest);
    } else {
      row.when = _("no snapshot yet");
    }
    row.size = roots::words::bytes(each.bytes);
    row.problem = problemOf(each);
    const std::string versions =
        filled(ngettext("%s version", "%s versions", row.versions), {std::to_string(row.versions)});
    const std::string last =
        row.versions > 0 ? filled(_("last snapshot %s (%s)"), {row.when, row.at}) : row.when;
    row.label = row.name + ", " + row.stateText + ", " + versions + ", " + last + ", " + row.size +
                ", " + row.path;
    if (!row.problem.empty()) row.label += ". " + row.problem;
    rows.push_back(std::move(row));
  }
  return rows;
}

Result<std::string> Folders::add(const std::string& folder) const {
  auto watched = keeper_.watch(roots::resolvedPath(folder), RootMode::automatic);
  if (!watched.ok()) return watched.status();
  if (watched->change == roots::Keeper::Watched::Change::already) {
    return filled(_("%s is watched already."), {watched->folder});
  }
  std::string text = filled(_("Watching %s."), {watched->folder});
  if (watched->first && !watched->first->ok()) {
    text += " " + filled(_("Its first snapshot could not be taken: %s"),
                         {watched->first->status().message()});
  }
  return text;
}

Result<std::string> Folders::pause(const std::string& folder) const {
  if (Status paused = keeper_.pause(folder); !paused.ok()) return paused;
  return filled(_("Paused %s: no snapshots until it is resumed."), {nameOf(folder)});
}

Result<std::string> Folders::resume(const std::string& folder) const {
  auto resumed = keeper_.watch(folder, RootMode::automatic);
  if (!resumed.ok()) return resumed.status();
  return filled(_("Resumed %s."), {nameOf(folder)});
}

Result<std::string> Folders::setAutomatic(const std::string& folder, bool automatic) const {
  Status set = keeper_.setMode(folder, automatic ? RootMode::automatic : RootMode::manual);
  if (!set.ok()) return set;
  return filled(automatic ? _("%s now gets a snapshot after each change.")
                          : _("%s now gets a snapshot only when you ask."),
                {nameOf(folder)});
}

Result<std::string> Folders::snapshot(const std::string& folder) const {
  auto taken = keeper_.snapshot(folder, history::Reason::manual, /*tidy=*/true);
  if (!taken.ok()) return taken.status();
  std::string text =
      taken->snapshot.id.empty()
          ? filled(_("Nothing changed in %s since its last snapshot."), {nameOf(folder)})
          : filled(_("Took a snapshot of %s."), {nameOf(folder)});
  // Files that could not be read, as the command line says them.
  const auto lines = roots::words::taken(*taken);
  if (lines.size() > 1) text += "\n" + joined({lines.begin() + 1, lines.end()});
  return text;
}

Result<std::string> Folders::stopWatching(const std::string& folder, bool deleteHistory) const {
  if (Status unwatched = keeper_.unwatch(folder); !unwatched.ok()) return unwatched;
  if (!deleteHistory) {
    return filled(_("No longer watching %s. Its history is kept: add the folder again to go on "
                    "with it."),
                  {nameOf(folder)});
  }
  auto forgotten = keeper_.forget(folder);
  // Not watched any more, with no history kept: nothing to delete.
  if (!forgotten.ok() && forgotten.status().kind() != Status::Kind::noHistory) {
    return forgotten.status();
  }
  return filled(_("No longer watching %s, and its history is deleted."), {nameOf(folder)});
}

Result<std::vector<std::string>> Folders::ignoreRules(const std::string& folder) const {
  return keeper_.ignoreRules(folder);
}

Status Folders::setIgnoreRules(const std::string& folder,
                               const std::vector<std::string>& patterns) const {
  return keeper_.setIgnoreRules(folder, patterns);
}

Result<std::string> Folders::preview(const std::string& folder,
                                     const std::vector<std::string>& patterns,
                                     const std::atomic<bool>* stop) const {
  auto count = keeper_.ignoredBy(folder, patterns, stop);
  if (!count.ok()) return count.status();
  return filled(ngettext("%s of %s file left out", "%s of %s files left out", count->files),
                {std::to_string(count->matched), std::to_string(count->files)});
}

Result<Folders::Retention> Folders::retention(const std::string& folder) const {
  auto kept = keeper_.retention(folder);
  if (!kept.ok()) return kept.status();
  return Retention{kept->retention.text(), sizeLimitText(kept->retention.sizeLimit)};
}

Result<std::string> Folders::setRetention(const std::string& folder,
                                          const Retention& retention) const {
  auto tiers = history::Retention::parse(retention.tiers);
  if (!tiers.ok()) return Status::failure(Status::Kind::invalid, tiers.status().message());
  auto limit = history::Retention::parseSize(retention.sizeLimit);
  if (!limit.ok()) return Status::failure(Status::Kind::invalid, limit.status().message());
  tiers->sizeLimit = *limit;
  auto kept = keeper_.setRetention(folder, *tiers);
  if (!kept.ok()) return kept.status();
  return filled(_("%s keeps %s, size limit %s."),
                {nameOf(folder), kept->retention.text(),
                 kept->retention.sizeLimit ? roots::words::bytes(*kept->retention.sizeLimit)
                                           : std::string(_("none"))});
}

Result<bool> Folders::notifications() const {
  auto preferences = roots::Preferences::read(keeper_.container().path());
  if (!preferences.ok()) return preferences.status();
  return preferences->notifications;
}

Status Folders::setNotifications(bool on) const {
  return roots::Preferences::change(keeper_.container(), [on](roots::Preferences& preferences) {
    preferences.notifications = on;
  });
}

std::string Folders::manifestFolder() const { return keeper_.container().path(); }

std::string Folders::branchesOf(const std::string& folder) const {
  return keeper_.container().store(folder) + "/refs/heads";
}

}  // namespace tarvine::window
