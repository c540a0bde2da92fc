#include "window/Folders.h"

#include <glib/gi18n.h>

#include "history/Thinning.h"
#include "roots/Mirrors.h"
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
        "deleted. Snapshots start again when it is back. If it was moved or renamed, pick "
        "Moved\u2026 to tell where it is now.");
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

// A mirror whose pushes fail, in words, with what to do; empty when every
// mirror's last push went well (or the mirrors cannot be read: the settings
// say why).
std::string mirrorProblem(const roots::Container& container, const std::string& root) {
  auto listed = roots::mirrors::list(container, root);
  if (!listed.ok()) return "";
  std::string text;
  for (const auto& each : *listed) {
    for (const history::mirror::Mirror& mirror : each.mirrors) {
      if (mirror.failures == 0) continue;
      const auto failures = static_cast<std::size_t>(mirror.failures);
      text += (text.empty() ? "" : " ") +
              filled(ngettext("Its mirror %s failed %s push (%s): check that its disk is mounted "
                              "or its server can be reached; it is tried again on its own.",
                              "Its mirror %s failed %s pushes, the last: %s. Check that its disk "
                              "is mounted or its server can be reached; it is tried again on "
                              "its own.",
                              failures),
                     {mirror.url, std::to_string(failures), mirror.lastFailure});
    }
  }
  return text;
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

// A path on a disk is kept resolved; an address as given, as the command
// line keeps them.
std::string mirrorAddress(const std::string& url) {
  return url.find(':') == std::string::npos ? roots::resolvedPath(url) : url;
}

std::string number(std::size_t value) { return std::to_string(value); }

// What to do about a history that is damaged, whatever the damage.
const char* damageAdvice() {
  return _(
      "If it has a mirror, bring the history back from it into a new folder (Bring Back "
      "from a Mirror\u2026); otherwise stop watching the folder, delete its history and add "
      "the folder again to start a new one.");
}

// The first few problems found, each on a line of its own: enough to say what
// is damaged; the command line lists them all.
std::string problemsText(const std::vector<std::string>& problems) {
  constexpr std::size_t kShown = 5;
  std::string text;
  for (std::size_t i = 0; i < problems.size() && i < kShown; ++i) text += "\n" + problems[i];
  if (problems.size() > kShown) {
    text += "\n" + filled(_("(and %s more: tarvine check lists them all)"),
                          {number(problems.size() - kShown)});
  }
  return text;
}

std::function<void(const history::mirror::Progress&)> fractions(
    const std::function<void(double)>& progress) {
  if (!progress) return {};
  return [progress](const history::mirror::Progress& step) {
    if (step.allObjects > 0) {
      progress(static_cast<double>(step.objects) / static_cast<double>(step.allObjects));
    }
  };
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
    if (std::string failing = mirrorProblem(keeper_.container(), row.path); !failing.empty()) {
      row.problem += (row.problem.empty() ? "" : " ") + failing;
    }
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

Result<std::vector<Folders::MirrorRow>> Folders::mirrors(const std::string& folder,
                                                         std::int64_t now) const {
  if (now == 0) now = std::time(nullptr);
  auto listed = roots::mirrors::list(keeper_.container(), folder);
  if (!listed.ok()) return listed.status();
  std::vector<MirrorRow> rows;
  for (const auto& root : *listed) {
    for (const history::mirror::Mirror& each : root.mirrors) {
      MirrorRow row;
      row.url = each.url;
      if (each.pushedAt == 0) {
        row.status = _("not pushed yet");
      } else {
        row.status = filled(_("last pushed %s (%s)"),
                            {relativeTime(each.pushedAt, now), localTime(each.pushedAt)});
        row.status += ", " + (each.unpushed == 0
                                  ? std::string(_("up to date"))
                                  : filled(ngettext("%s snapshot not pushed yet",
                                                    "%s snapshots not pushed yet", each.unpushed),
                                           {number(each.unpushed)}));
      }
      if (each.failures > 0) {
        const auto failures = static_cast<std::size_t>(each.failures);
        row.status += ". " + filled(ngettext("%s failed push, the last: %s",
                                             "%s failed pushes, the last: %s", failures),
                                    {number(failures), each.lastFailure});
      }
      row.label = row.url + ", " + row.status;
      rows.push_back(std::move(row));
    }
  }
  return rows;
}

Result<std::string> Folders::addMirror(const std::string& folder, const std::string& url) const {
  const std::string address = mirrorAddress(url);
  if (Status added = roots::mirrors::add(keeper_.container(), folder, address); !added.ok()) {
    return added;
  }
  return filled(_("%s is now mirrored to %s. Push Now sends its history there."),
                {nameOf(folder), address});
}

Result<std::string> Folders::removeMirror(const std::string& folder, const std::string& url) const {
  if (Status removed = roots::mirrors::remove(keeper_.container(), folder, url); !removed.ok()) {
    return removed;
  }
  return filled(_("%s is no longer mirrored to %s; what the mirror holds stays there."),
                {nameOf(folder), url});
}

Result<std::string> Folders::pushMirror(const std::string& folder, const std::string& url,
                                        const std::function<void(double)>& progress) const {
  auto pushed = roots::mirrors::pushOne(keeper_.container(), folder, url, fractions(progress));
  if (!pushed.ok()) return pushed.status();
  if (pushed->upToDate) return filled(_("The mirror %s is up to date."), {url});
  return filled(_("Pushed %s to %s, up to version %s."),
                {nameOf(folder), url, history::shortId(pushed->tip)});
}

Result<Folders::Verdict> Folders::check(const std::string& folder) const {
  auto checked = keeper_.check(folder);
  if (!checked.ok()) return checked.status();
  if (checked->empty()) return Status::failure(Status::Kind::notWatched, folder);
  const roots::Keeper::Checked& verdict = checked->front();
  if (!verdict.report.ok()) {
    return Verdict{false, filled(_("The history of %s cannot be read: %s."),
                                 {nameOf(folder), verdict.report.status().message()}) +
                              " " + damageAdvice()};
  }
  const history::CheckReport& report = *verdict.report;
  if (report.intact()) {
    return Verdict{true,
                   filled(_("The history of %s is intact: %s versions and %s stored "
                            "objects read and verified."),
                          {nameOf(folder), number(report.snapshots), number(report.objects)})};
  }
  return Verdict{false, filled(ngettext("The history of %s is damaged: %s problem found.",
                                        "The history of %s is damaged: %s problems found.",
                                        report.problems.size()),
                               {nameOf(folder), number(report.problems.size())}) +
                            problemsText(report.problems) + "\n" + damageAdvice()};
}

Result<Folders::Verdict> Folders::checkMirror(const std::string& folder,
                                              const std::string& url) const {
  auto checked = roots::mirrors::check(keeper_.container(), folder);
  if (!checked.ok()) return checked.status();
  for (const roots::mirrors::CheckedMirror& each : *checked) {
    if (each.url != url) continue;
    if (!each.report.ok()) return each.report.status();
    const history::CheckReport& report = *each.report;
    if (report.intact()) {
      return Verdict{true, filled(_("The mirror %s is intact: %s versions and %s stored objects "
                                    "read and verified."),
                                  {url, number(report.snapshots), number(report.objects)})};
    }
    return Verdict{
        false,
        filled(ngettext("The mirror %s is damaged: %s problem found.",
                        "The mirror %s is damaged: %s problems found.", report.problems.size()),
               {url, number(report.problems.size())}) +
            problemsText(report.problems) + "\n" +
            _("Remove it, and add a mirror in a new place: its first push sends the whole "
              "history again.")};
  }
  return Status::failure(Status::Kind::notFound,
                         filled(_("%s is not a mirror of %s."), {url, nameOf(folder)}));
}

Result<Folders::Thinned> Folders::thin(const std::string& folder, bool dryRun) const {
  auto thinning = keeper_.thin(folder, std::time(nullptr), dryRun);
  if (!thinning.ok()) return thinning.status();
  const history::Thinned& thinned = thinning->thinned;
  Thinned answer{thinned.dropped.size(), ""};
  const std::string of = number(thinned.versions);
  if (thinned.dropped.empty()) {
    answer.text = filled(
        ngettext("Nothing to thin: the policy keeps the %s version of %s.",
                 "Nothing to thin: the policy keeps all %s versions of %s.", thinned.versions),
        {of, nameOf(folder)});
  } else if (dryRun) {
    answer.text =
        filled(ngettext("Thinning %s now removes %s of its %s versions, as the policy "
                        "keeps them. Its history takes %s now, about %s after.",
                        "Thinning %s now removes %s of its %s versions, as the policy "
                        "keeps them. Its history takes %s now, about %s after.",
                        thinned.dropped.size()),
               {nameOf(folder), number(thinned.dropped.size()), of,
                roots::words::bytes(thinned.bytesBefore), roots::words::bytes(thinned.bytesAfter)});
  } else {
    answer.text =
        filled(ngettext("Thinned %s: removed %s of %s versions; its history took %s "
                        "and takes %s now.",
                        "Thinned %s: removed %s of %s versions; its history took %s "
                        "and takes %s now.",
                        thinned.dropped.size()),
               {nameOf(folder), number(thinned.dropped.size()), of,
                roots::words::bytes(thinned.bytesBefore), roots::words::bytes(thinned.bytesAfter)});
  }
  if (thinned.stillOverLimit) {
    answer.text += " " + std::string(_("It stays over its size limit: every version left is one "
                                       "the policy keeps or one you pinned."));
  }
  return answer;
}

Result<std::string> Folders::pack(const std::string& folder) const {
  if (Status packed = keeper_.pack(folder); !packed.ok()) return packed;
  return filled(_("Packed the history of %s into one pack."), {nameOf(folder)});
}

Result<std::string> Folders::move(const std::string& from, const std::string& to) const {
  const std::string now = roots::resolvedPath(to);
  if (Status moved = keeper_.move(from, now); !moved.ok()) return moved;
  return filled(_("%s is now watched where it is, at %s, with its history."), {nameOf(from), now});
}

Result<std::vector<Folders::OrphanRow>> Folders::orphans() const {
  auto found = keeper_.orphans();
  if (!found.ok()) return found.status();
  std::vector<OrphanRow> rows;
  for (const roots::Keeper::Orphan& orphan : *found) {
    OrphanRow row{orphan.folder, roots::words::bytes(orphan.bytes), ""};
    row.label = (orphan.folder.empty() ? std::string(_("A folder its history does not name"))
                                       : orphan.folder) +
                ", " + filled(_("%s on disk"), {row.size});
    rows.push_back(std::move(row));
  }
  return rows;
}

Result<std::string> Folders::forget(const std::string& folder) const {
  auto forgotten = keeper_.forget(folder);
  if (!forgotten.ok()) return forgotten.status();
  return filled(_("Deleted the history of %s (%s freed)."),
                {folder, roots::words::bytes(forgotten->bytes)});
}

Result<std::string> Folders::adopt(const std::string& url, const std::string& folder,
                                   const std::string& version,
                                   const std::function<void(double)>& progress) const {
  const std::string address = mirrorAddress(url);
  const std::string place = roots::resolvedPath(folder);
  auto adopted = roots::mirrors::adopt(
      keeper_, address, place, version.empty() ? std::nullopt : std::optional<std::string>(version),
      fractions(progress));
  if (!adopted.ok()) return adopted.status();
  return filled(_("%s is back from %s at version %s, and watched with its mirror kept."),
                {place, address, history::shortId(*adopted)});
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
