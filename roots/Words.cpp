#include "roots/Words.h"

#include <cstdio>
#include <ctime>
#include <iterator>

namespace tarvine::roots::words {
namespace {

std::string when(std::int64_t time) {
  char text[32];
  std::tm parts{};
  const std::time_t seconds = time;
  ::localtime_r(&seconds, &parts);
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  return text;
}

}  // namespace

std::vector<std::string> watched(const Keeper::Watched& watched) {
  if (watched.change == Keeper::Watched::Change::already) {
    return {watched.folder + " is watched already"};
  }
  std::vector<std::string> lines{"watching " + watched.folder};
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
      snapshot.id.empty() ? "no change in " + taken.root + " since its last snapshot"
                          : "snapshot " + history::shortId(snapshot.id) + " of " + taken.root +
                                " (" + std::to_string(snapshot.filesRead) + " file(s) read)"};
  for (const history::Skipped& skipped : snapshot.skipped) {
    lines.push_back("not read " + skipped.path + ": " + skipped.why +
                    (skipped.carried ? "; its last snapshot's version is kept"
                                     : "; it is not in the history yet"));
  }
  if (!taken.tidied.ok()) lines.push_back("cannot pack the history yet: " + taken.tidied.message());
  return lines;
}

std::string paused(const std::string& folder) { return "paused " + folder; }

std::string unwatched(const std::string& folder) { return "no longer watching " + folder; }

std::string modeSet(const std::string& folder, RootMode mode) {
  return "mode " + std::string(rawValue(mode)) + " for " + folder;
}

std::vector<std::string> restored(const std::string& path, const history::Restored& restored) {
  std::vector<std::string> lines{"restored " + path + " to " + history::shortId(restored.version) +
                                 " (" + std::to_string(restored.written.size()) +
                                 " file(s) written)"};
  for (const std::string& file : restored.notReplaced) lines.push_back("not replaced: " + file);
  return lines;
}

std::string packed(const std::string& folder) { return "packed the history of " + folder; }

std::vector<std::string> listing(const std::string& path, const Keeper::Listing& listing) {
  std::vector<std::string> lines{std::to_string(listing.versions.size()) + " version(s) of " +
                                 path};
  for (const history::Version& version : listing.versions) {
    lines.push_back(history::shortId(version.id) + " " + when(version.time) + " " +
                    std::string(changeName(version.change)) + " (" +
                    std::string(history::reasonName(version.reason)) + ")" +
                    (version.size ? ", " + std::to_string(*version.size) + " bytes" : ""));
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
  return "unavailable: " + why.message() + "; " + root +
         " is not snapshotted until it is back, and watched again then";
}

std::string availableAgain(const std::string& root) {
  return root + " is available again; watching it";
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
  std::string line = "the history of " + healing.root + " was damaged (" + healed.why + "); ";
  line += healed.tip.empty()
              ? "no snapshot of it could be read whole, so the next snapshot starts it again"
              : "it is back on its snapshot " + history::shortId(healed.tip) +
                    ", the newest that can be read whole";
  if (!healed.keptAs.empty()) {
    line += "; the damaged one is kept as " + healed.keptAs + " in its history";
  }
  return line;
}

std::vector<std::string> checked(const Keeper::Checked& checked) {
  if (!checked.report.ok()) {
    return {"cannot check " + checked.root + ": " + checked.report.status().message()};
  }
  const history::CheckReport& report = *checked.report;
  const std::string counts = std::to_string(report.snapshots) + " snapshot(s), " +
                             std::to_string(report.objects) + " object(s)";
  std::vector<std::string> lines{report.intact()
                                     ? "intact: " + checked.root + " (" + counts + " verified)"
                                     : "damaged: " + checked.root + " (" + counts + " read; " +
                                           std::to_string(report.problems.size()) + " problem(s))"};
  for (const std::string& problem : report.problems) lines.push_back("  " + problem);
  for (const std::string& aside : report.keptAside) {
    lines.push_back("  set aside earlier as damaged: " + aside);
  }
  return lines;
}

std::string bytes(std::uint64_t bytes) {
  constexpr const char* kUnits[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) return std::to_string(bytes) + " bytes";
  double amount = static_cast<double>(bytes);
  std::size_t unit = 0;
  while (amount >= 1024 && unit + 1 < std::size(kUnits)) {
    amount /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", amount, kUnits[unit]);
  return text;
}

std::string spanned(const Keeper::Spanned& spanned) {
  const std::string_view mode = rawValue(modeOf(spanned.root)), shown = stateName(spanned.state);
  std::string line = spanned.root.path + " (" + std::string(shown) +
                     (shown != mode ? ", " + std::string(mode) : "") + "): ";
  if (!spanned.problem.ok()) {
    line += "history unreadable (" + spanned.problem.message() + ")";
  } else if (spanned.span.snapshots == 0) {
    line += "no version yet";
  } else {
    line += std::to_string(spanned.span.snapshots) + " version(s), " + when(spanned.span.oldest) +
            " to " + when(spanned.span.newest);
  }
  return line + ", " + bytes(spanned.bytes) + " on disk";
}

std::string orphan(const Keeper::Orphan& orphan) {
  return (orphan.folder.empty() ? "(a folder its history does not name)" : orphan.folder) + ": " +
         bytes(orphan.bytes) + " on disk, in " + orphan.store;
}

std::string forgetQuestion(const Keeper::Orphan& orphan) {
  return "Delete the history of " + orphan.folder + " (" + bytes(orphan.bytes) +
         ")? Its versions cannot be brought back. [y/N] ";
}

std::string forgotten(const Keeper::Orphan& orphan) {
  return "deleted the history of " + orphan.folder + " (" + bytes(orphan.bytes) + " freed)";
}

std::string moved(const std::string& from, const std::string& to) {
  return from + " is now watched as " + to + ", with its history";
}

std::vector<std::string> thinned(const Keeper::Thinning& thinning) {
  const history::Thinned& thinned = thinning.thinned;
  const std::string drop = thinned.dryRun ? "would drop " : "dropped ";
  std::vector<std::string> lines{(thinned.dryRun ? "thinning " + thinning.root + " would keep "
                                                 : "thinned " + thinning.root + ": kept ") +
                                 std::to_string(thinned.kept) + " of " +
                                 std::to_string(thinned.versions) + " version(s)"};
  for (const history::Dropped& dropped : thinned.dropped) {
    lines.push_back(drop + history::shortId(dropped.id) + " " + when(dropped.time) + " (" +
                    std::string(history::reasonName(dropped.reason)) + ")" +
                    (dropped.verdict == history::Verdict::overSize ? ": over the size limit" : ""));
  }
  if (!thinned.dryRun && !thinned.dropped.empty()) {
    lines.push_back("history " + bytes(thinned.bytesBefore) + " before, " +
                    bytes(thinned.bytesAfter) + " after");
  }
  if (thinned.stillOverLimit) {
    lines.push_back(
        "the history is still over its size limit: what it keeps regardless (the "
        "newest, pinned versions, states before recent restores) is larger");
  }
  return lines;
}

std::vector<std::string> kept(const Keeper::Kept& kept) {
  std::vector<std::string> lines{
      kept.root + " keeps " + kept.retention.text() + ", size limit " +
      (kept.retention.sizeLimit ? bytes(*kept.retention.sizeLimit) : std::string("none"))};
  for (const std::string& id : kept.pinned) lines.push_back("pinned " + history::shortId(id));
  return lines;
}

std::string pinned(const std::string& id) {
  return "pinned " + history::shortId(id) + ": it is kept until unpinned";
}

std::string unpinned(const std::string& id) {
  return "unpinned " + history::shortId(id) + ": it is kept as the policy says";
}

}  // namespace tarvine::roots::words
