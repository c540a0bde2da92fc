#include "roots/Words.h"

#include <glib/gi18n.h>

#include <ctime>
#include <iterator>

#include "roots/Language.h"

namespace tarvine::roots::words {
namespace {

using language::formatted;

// The count as ngettext wants it: large counts take the plural of their
// last digits, as gettext's own documentation advises.
unsigned long plural(std::uint64_t count) {
  return static_cast<unsigned long>(count > 1'000'000 ? count % 1'000'000 + 1'000'000 : count);
}

// A moment in the user's language: the format is translated, so that each
// language writes its dates as its readers expect.
std::string when(std::int64_t time) {
  char text[64];
  std::tm parts{};
  const std::time_t seconds = time;
  ::localtime_r(&seconds, &parts);
  // TRANSLATORS: how listings show a moment, as strftime(3) reads it; "%x %X"
  // writes the date and time as the user's locale (LC_TIME) does.
  if (std::strftime(text, sizeof text, _("%Y-%m-%d %H:%M:%S"), &parts) == 0) return "";
  return text;
}

std::string_view reasonWord(history::Reason reason) {
  switch (reason) {
    case history::Reason::automatic:
      return _("automatic");
    case history::Reason::manual:
      return _("manual");
    case history::Reason::enabled:
      return _("history enabled");
    case history::Reason::beforeRestore:
      return _("before a restore");
  }
  return _("manual");
}

std::string_view changeWord(history::Version::Change change) {
  switch (change) {
    case history::Version::Change::added:
      return _("added");
    case history::Version::Change::modified:
      return _("modified");
    case history::Version::Change::deleted:
      return _("deleted");
  }
  return _("modified");
}

std::string_view stateWord(Keeper::State state) {
  switch (state) {
    case Keeper::State::automatic:
      return _("automatic");
    case Keeper::State::manual:
      return _("manual");
    case Keeper::State::paused:
      return _("paused");
    case Keeper::State::unavailable:
      return _("unavailable");
  }
  return _("unavailable");
}

std::string_view modeWord(RootMode mode) {
  return mode == RootMode::manual ? _("manual") : _("automatic");
}

}  // namespace

std::vector<std::string> watched(const Keeper::Watched& watched) {
  if (watched.change == Keeper::Watched::Change::already) {
    return {formatted(_("%s is watched already"), watched.folder.c_str())};
  }
  std::vector<std::string> lines{formatted(_("watching %s"), watched.folder.c_str())};
  if (watched.first && watched.first->ok()) {
    for (std::string& line : taken(**watched.first)) lines.push_back(std::move(line));
  } else if (watched.first) {
    lines.push_back(watched.first->status().message());
  }
  return lines;
}

std::vector<std::string> taken(const Keeper::Taken& taken) {
  const history::Snapshot& snapshot = taken.snapshot;
  std::vector<std::string> lines{
      snapshot.id.empty()
          ? formatted(_("no change in %s since its last snapshot"), taken.root.c_str())
          : formatted(ngettext("snapshot %s of %s (%llu file read)",
                               "snapshot %s of %s (%llu files read)", plural(snapshot.filesRead)),
                      history::shortId(snapshot.id).c_str(), taken.root.c_str(),
                      static_cast<unsigned long long>(snapshot.filesRead))};
  for (const history::Skipped& skipped : snapshot.skipped) {
    lines.push_back(formatted(skipped.carried
                                  ? _("not read %s: %s; its last snapshot's version is kept")
                                  : _("not read %s: %s; it is not in the history yet"),
                              skipped.path.c_str(), skipped.why.c_str()));
  }
  if (!taken.tidied.ok()) {
    lines.push_back(
        formatted(_("cannot pack the history yet: %s"), taken.tidied.message().c_str()));
  }
  return lines;
}

std::string paused(const std::string& folder) { return formatted(_("paused %s"), folder.c_str()); }

std::string unwatched(const std::string& folder) {
  return formatted(_("no longer watching %s"), folder.c_str());
}

std::string modeSet(const std::string& folder, RootMode mode) {
  return formatted(_("mode %s for %s"), std::string(modeWord(mode)).c_str(), folder.c_str());
}

std::vector<std::string> restored(const std::string& path, const history::Restored& restored) {
  std::vector<std::string> lines{
      formatted(ngettext("restored %s to %s (%llu file written)",
                         "restored %s to %s (%llu files written)", plural(restored.written.size())),
                path.c_str(), history::shortId(restored.version).c_str(),
                static_cast<unsigned long long>(restored.written.size()))};
  for (const std::string& file : restored.notReplaced) {
    lines.push_back(formatted(_("not replaced: %s"), file.c_str()));
  }
  return lines;
}

std::string packed(const std::string& folder) {
  return formatted(_("packed the history of %s"), folder.c_str());
}

std::vector<std::string> listing(const std::string& path, const Keeper::Listing& listing) {
  std::vector<std::string> lines{formatted(
      ngettext("%llu version of %s", "%llu versions of %s", plural(listing.versions.size())),
      static_cast<unsigned long long>(listing.versions.size()), path.c_str())};
  for (const history::Version& version : listing.versions) {
    std::string line = formatted(
        // TRANSLATORS: a version's id, its date, what changed and why it was taken.
        _("%s %s %s (%s)"), history::shortId(version.id).c_str(), when(version.time).c_str(),
        std::string(changeWord(version.change)).c_str(),
        std::string(reasonWord(version.reason)).c_str());
    if (version.size) {
      line += formatted(ngettext(", %llu byte", ", %llu bytes", plural(*version.size)),
                        static_cast<unsigned long long>(*version.size));
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

std::string_view stateName(Keeper::State state) {
  switch (state) {
    case Keeper::State::automatic:
      return "automatic";
    case Keeper::State::manual:
      return "manual";
    case Keeper::State::paused:
      return "paused";
    case Keeper::State::unavailable:
      return "unavailable";
  }
  return "unavailable";
}

std::string unavailable(const std::string& root, const Status& why) {
  return formatted(
      _("unavailable: %s; %s is not snapshotted until it is back, and watched again then"),
      why.message().c_str(), root.c_str());
}

std::string availableAgain(const std::string& root) {
  return formatted(_("%s is available again; watching it"), root.c_str());
}

std::string_view changeName(history::Version::Change change) {
  switch (change) {
    case history::Version::Change::added:
      return "added";
    case history::Version::Change::modified:
      return "modified";
    case history::Version::Change::deleted:
      return "deleted";
  }
  return "modified";
}

std::string healed(const Keeper::Healing& healing) {
  const history::Healed& healed = healing.healed;
  std::string line = formatted(_("the history of %s was damaged (%s); "), healing.root.c_str(),
                               healed.why.c_str());
  line += healed.tip.empty()
              ? _("no snapshot of it could be read whole, so the next snapshot starts it again")
              : formatted(_("it is back on its snapshot %s, the newest that can be read whole"),
                          history::shortId(healed.tip).c_str());
  if (!healed.keptAs.empty()) {
    line += formatted(_("; the damaged one is kept as %s in its history"), healed.keptAs.c_str());
  }
  return line;
}

std::vector<std::string> checked(const Keeper::Checked& checked) {
  if (!checked.report.ok()) {
    return {formatted(_("cannot check %s: %s"), checked.root.c_str(),
                      checked.report.status().message().c_str())};
  }
  const history::CheckReport& report = *checked.report;
  const std::string counts =
      formatted(ngettext("%llu snapshot", "%llu snapshots", plural(report.snapshots)),
                static_cast<unsigned long long>(report.snapshots)) +
      ", " +
      formatted(ngettext("%llu object", "%llu objects", plural(report.objects)),
                static_cast<unsigned long long>(report.objects));
  std::vector<std::string> lines{
      report.intact()
          ? formatted(_("intact: %s (%s verified)"), checked.root.c_str(), counts.c_str())
          : formatted(
                ngettext("damaged: %s (%s read; %llu problem)",
                         "damaged: %s (%s read; %llu problems)", plural(report.problems.size())),
                checked.root.c_str(), counts.c_str(),
                static_cast<unsigned long long>(report.problems.size()))};
  for (const std::string& problem : report.problems) lines.push_back("  " + problem);
  for (const std::string& aside : report.keptAside) {
    lines.push_back("  " + formatted(_("set aside earlier as damaged: %s"), aside.c_str()));
  }
  return lines;
}

std::string bytes(std::uint64_t bytes) {
  if (bytes < 1024) {
    return formatted(ngettext("%llu byte", "%llu bytes", plural(bytes)),
                     static_cast<unsigned long long>(bytes));
  }
  // TRANSLATORS: binary units of size, as in "12.3 MiB".
  const char* const units[] = {N_("%.1f KiB"), N_("%.1f MiB"), N_("%.1f GiB"), N_("%.1f TiB")};
  double amount = static_cast<double>(bytes) / 1024;
  std::size_t unit = 0;
  while (amount >= 1024 && unit + 1 < std::size(units)) {
    amount /= 1024;
    ++unit;
  }
  return formatted(gettext(units[unit]), amount);
}

std::string spanned(const Keeper::Spanned& spanned) {
  const RootMode mode = modeOf(spanned.root);
  const std::string_view shownMode = modeWord(mode), shown = stateWord(spanned.state);
  const std::string path = spanned.root.path, state(shown), modeShown(shownMode);
  std::string line =
      stateName(spanned.state) != rawValue(mode)
          // TRANSLATORS: a watched folder, its state and its mode, before what
          // its history holds.
          ? formatted(_("%s (%s, %s): "), path.c_str(), state.c_str(), modeShown.c_str())
          // TRANSLATORS: a watched folder and its state, before what its history holds.
          : formatted(_("%s (%s): "), path.c_str(), state.c_str());
  if (!spanned.problem.ok()) {
    line += formatted(_("history unreadable (%s)"), spanned.problem.message().c_str());
  } else if (spanned.span.snapshots == 0) {
    line += _("no version yet");
  } else {
    line += formatted(ngettext("%llu version, %s to %s", "%llu versions, %s to %s",
                               plural(spanned.span.snapshots)),
                      static_cast<unsigned long long>(spanned.span.snapshots),
                      when(spanned.span.oldest).c_str(), when(spanned.span.newest).c_str());
  }
  return line + formatted(_(", %s on disk"), bytes(spanned.bytes).c_str());
}

std::string orphan(const Keeper::Orphan& orphan) {
  return formatted(
      _("%s: %s on disk, in %s"),
      orphan.folder.empty() ? _("(a folder its history does not name)") : orphan.folder.c_str(),
      bytes(orphan.bytes).c_str(), orphan.store.c_str());
}

std::string forgetQuestion(const Keeper::Orphan& orphan) {
  // TRANSLATORS: the answers accepted stay "y" and "yes", whatever the language.
  return formatted(_("Delete the history of %s (%s)? Its versions cannot be brought back. [y/N] "),
                   orphan.folder.c_str(), bytes(orphan.bytes).c_str());
}

std::string forgotten(const Keeper::Orphan& orphan) {
  return formatted(_("deleted the history of %s (%s freed)"), orphan.folder.c_str(),
                   bytes(orphan.bytes).c_str());
}

std::string moved(const std::string& from, const std::string& to) {
  return formatted(_("%s is now watched as %s, with its history"), from.c_str(), to.c_str());
}

std::vector<std::string> thinned(const Keeper::Thinning& thinning, bool eachVersion) {
  const history::Thinned& thinned = thinning.thinned;
  const auto kept = static_cast<unsigned long long>(thinned.kept);
  const auto versions = static_cast<unsigned long long>(thinned.versions);
  std::vector<std::string> lines{
      thinned.dryRun
          ? formatted(
                ngettext("thinning %s would keep %llu of %llu version",
                         "thinning %s would keep %llu of %llu versions", plural(thinned.versions)),
                thinning.root.c_str(), kept, versions)
          : formatted(ngettext("thinned %s: kept %llu of %llu version",
                               "thinned %s: kept %llu of %llu versions", plural(thinned.versions)),
                      thinning.root.c_str(), kept, versions)};
  for (const history::Dropped& dropped :
       eachVersion ? thinned.dropped : std::vector<history::Dropped>{}) {
    const std::string id = history::shortId(dropped.id), time = when(dropped.time);
    const std::string reason(reasonWord(dropped.reason));
    const bool overSize = dropped.verdict == history::Verdict::overSize;
    const char* pattern =
        thinned.dryRun
            ? (overSize ? _("would drop %s %s (%s): over the size limit")
                        : _("would drop %s %s (%s)"))
            : (overSize ? _("dropped %s %s (%s): over the size limit") : _("dropped %s %s (%s)"));
    lines.push_back(formatted(pattern, id.c_str(), time.c_str(), reason.c_str()));
  }
  if (!thinned.dropped.empty()) {
    lines.push_back(formatted(
        thinned.dryRun ? _("history %s now, about %s after") : _("history %s before, %s after"),
        bytes(thinned.bytesBefore).c_str(), bytes(thinned.bytesAfter).c_str()));
  }
  if (thinned.stillOverLimit) {
    lines.push_back(
        _("the history is still over its size limit: what it keeps regardless (the "
          "newest, pinned versions, states before recent restores) is larger"));
  }
  return lines;
}

std::vector<std::string> kept(const Keeper::Kept& kept) {
  std::vector<std::string> lines{
      formatted(_("%s keeps %s, size limit %s"), kept.root.c_str(), kept.retention.text().c_str(),
                kept.retention.sizeLimit ? bytes(*kept.retention.sizeLimit).c_str() : _("none"))};
  for (const std::string& id : kept.pinned) {
    lines.push_back(formatted(_("pinned %s"), history::shortId(id).c_str()));
  }
  return lines;
}

std::string pinned(const std::string& id) {
  return formatted(_("pinned %s: it is kept until unpinned"), history::shortId(id).c_str());
}

std::string unpinned(const std::string& id) {
  return formatted(_("unpinned %s: it is kept as the policy says"), history::shortId(id).c_str());
}

}  // namespace tarvine::roots::words
