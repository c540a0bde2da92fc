// Thinning: a history's chain of snapshots written anew without the versions
// its retention lets go. Trees and files are shared, so only the commits
// after the oldest one dropped are written again; the branch then moves
// durably, its log is replaced so that it names only what is kept, and the
// pack that proves before it deletes frees the space.

#include "history/Thinning.h"

#include <fcntl.h>
#include <git2/sys/commit.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "history/Commits.h"
#include "history/Durable.h"
#include "history/GitObjects.h"
#include "history/Intact.h"
#include "history/Text.h"
#include "platform/posix/FileDescriptor.h"

namespace tarvine::history {
namespace {

constexpr const char* kKeepKey = "tarvine.keep";
constexpr const char* kSizeLimitKey = "tarvine.sizeLimit";
// When the history was last thinned (seconds since the epoch), beside its
// store: lost, it only means thinning once more.
constexpr const char* kThinnedAtName = "tarvine-thinned-at";
// Made before a thinning moves anything and removed once its space is freed:
// found, the last one was stopped midway, and the next one finishes it.
constexpr const char* kUnfinishedName = "tarvine-thinning-unfinished";

constexpr std::int64_t kMinute = 60, kHour = 60 * kMinute, kDay = 24 * kHour, kWeek = 7 * kDay;
constexpr struct {
  char unit;
  std::int64_t seconds;
} kUnits[] = {{'w', kWeek}, {'d', kDay}, {'h', kHour}, {'m', kMinute}, {'s', 1}};
constexpr std::string_view kAll = "all", kForever = "forever", kNoLimit = "none";
constexpr const char kSizeUnits[] = "KMGT";

Status invalid(const std::string& why) {
  return Status::failure(Status::Kind::invalid, why, EINVAL);
}

std::optional<std::int64_t> parseDuration(std::string_view text) {
  if (text.size() < 2) return std::nullopt;
  std::int64_t count = 0;
  const char* last = text.data() + text.size() - 1;
  const auto [end, error] = std::from_chars(text.data(), last, count);
  if (error != std::errc() || end != last || count <= 0 || count > (1ll << 40)) {
    return std::nullopt;
  }
  for (const auto& unit : kUnits) {
    if (*last == unit.unit) return count * unit.seconds;
  }
  return std::nullopt;
}

std::string durationText(std::int64_t seconds) {
  for (const auto& unit : kUnits) {
    if (seconds % unit.seconds == 0) return std::to_string(seconds / unit.seconds) + unit.unit;
  }
  return std::to_string(seconds) + "s";
}

std::string summaryOf(git_commit* commit) {
  const char* summary = git_commit_summary(commit);
  return summary != nullptr ? summary : "";
}

std::string key(const git_oid& oid) {
  return std::string(reinterpret_cast<const char*>(oid.id), GIT_OID_RAWSZ);
}

// The bytes of the history's objects on disk, loose and packed.
std::uint64_t storeBytes(git_repository* repository) {
  std::uint64_t total = 0;
  std::error_code ignored;
  const std::string objects = std::string(git_repository_path(repository)) + "objects";
  for (auto it = std::filesystem::recursive_directory_iterator(objects, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_regular_file(ignored)) total += it->file_size(ignored);
  }
  return total;
}

// The snapshots along the branch, oldest first.
Result<std::vector<Commit>> chainOf(git_repository* repository) {
  std::vector<Commit> chain;
  auto head = headCommit(repository);
  if (!head.ok()) {
    if (head.status().kind() == Status::Kind::noHistory) return chain;
    return head.status();
  }
  for (Commit commit = std::move(*head); commit;) {
    Commit parent;
    if (git_commit_parentcount(commit.get()) > 0) {
      git_commit* raw = nullptr;
      if (git_commit_parent(&raw, commit.get(), 0) != 0) {
        return gitFailure(_("cannot read a snapshot"), Status::Kind::damaged);
      }
      parent.reset(raw);
    }
    chain.push_back(std::move(commit));
    commit = std::move(parent);
  }
  std::reverse(chain.begin(), chain.end());
  return chain;
}

// What makes two commits the same version, whatever their parents: what a
// rewritten commit keeps.
std::string versionKey(git_commit* commit) {
  return hex(*git_commit_tree_id(commit)) + " " + std::to_string(git_commit_time(commit)) + " " +
         git_commit_message_raw(commit);
}

struct Pin {
  std::string reference;
  git_oid target;
};

std::vector<Pin> pinsOf(git_repository* repository) {
  std::vector<Pin> pins;
  git_reference_iterator* raw = nullptr;
  const std::string glob = std::string(kPinnedRefs) + "*";
  if (git_reference_iterator_glob_new(&raw, repository, glob.c_str()) != 0) return pins;
  for (git_reference* reference = nullptr; git_reference_next(&reference, raw) == 0;) {
    if (const git_oid* target = git_reference_target(reference)) {
      pins.push_back({git_reference_name(reference), *target});
    }
    git_reference_free(reference);
  }
  git_reference_iterator_free(raw);
  return pins;
}

// The objects each version of `commits` (newest first) is the newest to
// hold, by their size as stored whole: what dropping it frees once every
// newer one is kept.
Result<std::vector<std::uint64_t>> newlyHeld(git_repository* repository,
                                             const std::vector<git_commit*>& commits) {
  auto odb = odbOf(repository);
  if (!odb.ok()) return odb.status();
  struct Walk {
    git_repository* repository;
    git_odb* odb;
    std::unordered_set<std::string> seen;
    std::uint64_t bytes = 0;
    bool sized(const git_oid& oid) {
      if (!seen.insert(key(oid)).second) return false;
      size_t size = 0;
      git_object_t type;
      if (git_odb_read_header(&size, &type, odb, &oid) == 0) bytes += size;
      return true;
    }
    void tree(const git_oid& id) {
      if (!sized(id)) return;
      git_tree* raw = nullptr;
      if (git_tree_lookup(&raw, repository, &id) != 0) return;
      Tree owner(raw);
      for (std::size_t i = 0, count = git_tree_entrycount(raw); i < count; ++i) {
        const git_tree_entry* entry = git_tree_entry_byindex(raw, i);
        if (git_tree_entry_type(entry) == GIT_OBJECT_TREE) {
          tree(*git_tree_entry_id(entry));
        } else if (git_tree_entry_type(entry) == GIT_OBJECT_BLOB) {
          sized(*git_tree_entry_id(entry));
        }
      }
    }
  } walk{repository, odb->get(), {}, 0};
  std::vector<std::uint64_t> bytes;
  for (git_commit* commit : commits) {
    const std::uint64_t before = walk.bytes;
    walk.sized(*git_commit_id(commit));
    walk.tree(*git_commit_tree_id(commit));
    bytes.push_back(walk.bytes - before);
  }
  return bytes;
}

Result<std::string> configString(git_repository* repository, const char* name) {
  git_config* raw = nullptr;
  if (git_repository_config_snapshot(&raw, repository) != 0) {
    return gitFailure(_("cannot read the history's settings"));
  }
  std::unique_ptr<git_config, Freer<git_config, git_config_free>> config(raw);
  const char* value = nullptr;
  if (git_config_get_string(&value, raw, name) != 0) return std::string();
  return std::string(value);
}

std::string thinnedAtFile(git_repository* repository) {
  return std::string(git_repository_path(repository)) + kThinnedAtName;
}

void rememberThinned(git_repository* repository, std::int64_t now) {
  // Neither atomic nor synced: lost, cut short or stale, it only costs
  // thinning again.
  const std::string path = thinnedAtFile(repository);
  FileDescriptor fd(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
  const std::string line = std::to_string(now) + "\n";
  if (fd.valid()) (void)!::write(fd.get(), line.data(), line.size());
}

// Each pin on a version the chain `chain` (by what each version holds) has
// under another commit is moved to it, with a log that names it alone: the
// old commit would keep the old chain reachable.
Result<bool> followPins(git_repository* repository, const std::vector<Pin>& pins,
                        const std::vector<std::pair<std::string, git_oid>>& chain,
                        std::int64_t now) {
  bool moved = false;
  std::unordered_map<std::string, git_oid> byVersion(chain.begin(), chain.end());
  std::unordered_set<std::string> onChain;
  for (const auto& [version, id] : chain) onChain.insert(key(id));
  const std::string gitDir = git_repository_path(repository);
  for (const Pin& pin : pins) {
    if (onChain.contains(key(pin.target))) continue;
    git_commit* raw = nullptr;
    if (git_commit_lookup(&raw, repository, &pin.target) != 0) continue;
    Commit owner(raw);
    const auto found = byVersion.find(versionKey(raw));
    if (found == byVersion.end()) continue;  // a version of another chain: left as it is
    const git_oid& to = found->second;
    moved = true;
    const std::string name = std::string(kPinnedRefs) + hex(to);
    if (Status made = makeFolders(gitDir + "logs/" + std::string(kPinnedRefs)); !made.ok()) {
      return made;
    }
    if (Status set =
            replaceFile(gitDir + "logs/" + name, logLine(nullptr, to, now, "tarvine: pinned"));
        !set.ok()) {
      return set;
    }
    if (Status set = replaceFile(gitDir + name, hex(to) + "\n"); !set.ok()) return set;
    if (pin.reference == name) continue;
    if (git_reference_remove(repository, pin.reference.c_str()) != 0) {
      return gitFailure(formatted(_("cannot move the pin %s"), pin.reference.c_str()));
    }
    (void)::unlink((gitDir + "logs/" + pin.reference).c_str());  // gone already: as wanted
  }
  return moved;
}

std::string unfinishedFile(git_repository* repository) {
  return std::string(git_repository_path(repository)) + kUnfinishedName;
}

// Durable, so that space a power cut kept from being freed is freed later;
// empty, as only its name counts.
Status markUnfinished(git_repository* repository) {
  const std::string path = unfinishedFile(repository);
  FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd.valid() || ::fsync(fd.get()) != 0) {
    return systemFailure(formatted(_("cannot write %s"), path.c_str()));
  }
  return syncPath(git_repository_path(repository));
}

// The span of `tier` that holds `time`. Spans start at the epoch, so that
// they stay put as time goes by.
std::int64_t spanOf(const Retention::Tier& tier, std::int64_t time) {
  return time >= 0 ? time / tier.every : (time + 1) / tier.every - 1;
}

}  // namespace

Retention Retention::standard() {
  return Retention{{{0, kDay}, {kHour, kWeek}, {kDay, 90 * kDay}, {kWeek, std::nullopt}},
                   std::nullopt};
}

Result<Retention> Retention::parse(std::string_view text) {
  Retention retention;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    const std::string_view tier = text.substr(start, comma - start);
    start = comma + 1;
    const std::size_t colon = tier.find(':');
    if (colon == std::string_view::npos) {
      return invalid(
          formatted(_("not a tier (EVERY:AGE, as in 1h:7d): %s"), std::string(tier).c_str()));
    }
    const std::string_view every = tier.substr(0, colon), age = tier.substr(colon + 1);
    Tier made;
    if (every != kAll) {
      const auto seconds = parseDuration(every);
      if (!seconds) {
        return invalid(
            formatted(_("not a spacing (all, or as in 1h): %s"), std::string(every).c_str()));
      }
      made.every = *seconds;
    }
    if (age != kForever) {
      const auto seconds = parseDuration(age);
      if (!seconds) {
        return invalid(
            formatted(_("not an age (forever, or as in 7d): %s"), std::string(age).c_str()));
      }
      made.upTo = *seconds;
    }
    if (!retention.tiers.empty()) {
      const Tier& before = retention.tiers.back();
      if (!before.upTo) return invalid(_("no tier can follow one that lasts for ever"));
      if (made.upTo && *made.upTo <= *before.upTo) {
        return invalid(formatted(_("each tier's age must be greater than the one before: %s"),
                                 std::string(tier).c_str()));
      }
    }
    retention.tiers.push_back(made);
  }
  if (retention.tiers.empty()) return invalid(_("no tiers"));
  return retention;
}

std::string Retention::text() const {
  std::string text;
  for (const Tier& tier : tiers) {
    if (!text.empty()) text += ",";
    text += tier.every == 0 ? std::string(kAll) : durationText(tier.every);
    text += ":" + (tier.upTo ? durationText(*tier.upTo) : std::string(kForever));
  }
  return text;
}

Result<std::optional<std::uint64_t>> Retention::parseSize(std::string_view text) {
  if (text == kNoLimit) return std::optional<std::uint64_t>();
  std::uint64_t count = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
  if (error != std::errc() || end == text.data())
    return invalid(formatted(_("not a size: %s"), std::string(text).c_str()));
  std::string_view unit(end, text.data() + text.size() - end);
  if (unit.ends_with('B') || unit.ends_with('b')) unit.remove_suffix(1);
  unsigned shift = 0;
  if (!unit.empty()) {
    const char* at = unit.size() == 1 ? std::strchr(kSizeUnits, std::toupper(unit[0])) : nullptr;
    if (at == nullptr || *at == '\0') {
      return invalid(formatted(_("not a size: %s"), std::string(text).c_str()));
    }
    shift = 10 * static_cast<unsigned>(at - kSizeUnits + 1);
  }
  if (count == 0 || count > (std::uint64_t{1} << (63 - shift))) {
    return invalid(formatted(_("not a size: %s"), std::string(text).c_str()));
  }
  return std::optional<std::uint64_t>(count << shift);
}

std::string_view verdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::newest:
      return "newest";
    case Verdict::pinned:
      return "pinned";
    case Verdict::beforeRestore:
      return "before-restore";
    case Verdict::tier:
      return "policy";
    case Verdict::dropped:
      return "thinned";
    case Verdict::overSize:
      return "size-limit";
  }
  return "thinned";
}

std::vector<Verdict> judge(const Retention& retention, const std::vector<Aged>& versions,
                           std::int64_t now) {
  std::vector<Verdict> verdicts(versions.size(), Verdict::dropped);
  // Oldest first: in each span of a tier, the first version met is kept, so
  // that a version once kept by a tier stays kept while it ages through it
  // (the spans of each tier nest in the next one's when they divide it).
  std::set<std::pair<std::size_t, std::int64_t>> spans;
  for (std::size_t i = versions.size(); i-- > 0;) {
    const Aged& version = versions[i];
    const std::int64_t age = now - version.time;
    if (i == 0) {
      verdicts[i] = Verdict::newest;
    } else if (version.pinned) {
      verdicts[i] = Verdict::pinned;
    } else if (version.reason == Reason::beforeRestore && age < kBeforeRestoreKeptSeconds) {
      verdicts[i] = Verdict::beforeRestore;
    } else {
      std::size_t t = 0;
      while (t < retention.tiers.size() && retention.tiers[t].upTo &&
             age >= *retention.tiers[t].upTo) {
        ++t;
      }
      if (t < retention.tiers.size() &&
          (retention.tiers[t].every == 0 ||
           !spans.contains({t, spanOf(retention.tiers[t], version.time)}))) {
        verdicts[i] = Verdict::tier;
      }
      // Its spans in its tier and the younger ones are taken, kept or not:
      // where a span lies across two tiers' ages, its younger part is judged
      // as it was before the older part aged out of that tier.
      for (std::size_t younger = 0; younger <= t && younger < retention.tiers.size(); ++younger) {
        const Retention::Tier& tier = retention.tiers[younger];
        if (tier.every != 0) spans.insert({younger, spanOf(tier, version.time)});
      }
    }
  }
  if (!retention.sizeLimit) return verdicts;
  std::uint64_t estimate = 0;
  for (std::size_t i = 0; i < versions.size(); ++i) {
    if (kept(verdicts[i])) estimate += versions[i].bytes;
  }
  for (std::size_t i = versions.size(); i-- > 0 && estimate > *retention.sizeLimit;) {
    if (verdicts[i] != Verdict::tier) continue;
    verdicts[i] = Verdict::overSize;
    estimate -= std::min(estimate, versions[i].bytes);
  }
  return verdicts;
}

Result<Retention> History::retention() {
  Retention retention = Retention::standard();
  auto tiers = configString(repository_, kKeepKey);
  if (!tiers.ok()) return tiers.status();
  if (!tiers->empty()) {
    auto parsed = Retention::parse(*tiers);
    if (!parsed.ok()) {
      return Status::failure(Status::Kind::damaged,
                             // TRANSLATORS: the setting's name stays as it is written.
                             formatted(_("the history's %s cannot be read: %s"), kKeepKey,
                                       parsed.status().message().c_str()),
                             EINVAL);
    }
    retention = *parsed;
  }
  auto size = configString(repository_, kSizeLimitKey);
  if (!size.ok()) return size.status();
  if (!size->empty()) {
    auto parsed = Retention::parseSize(*size);
    if (!parsed.ok()) {
      return Status::failure(Status::Kind::damaged,
                             // TRANSLATORS: the setting's name stays as it is written.
                             formatted(_("the history's %s cannot be read: %s"), kSizeLimitKey,
                                       parsed.status().message().c_str()),
                             EINVAL);
    }
    retention.sizeLimit = *parsed;
  }
  return retention;
}

Status History::setRetention(const Retention& retention) {
  git_config* raw = nullptr;
  if (git_repository_config(&raw, repository_) != 0) {
    return gitFailure(_("cannot change the history's settings"));
  }
  std::unique_ptr<git_config, Freer<git_config, git_config_free>> config(raw);
  // The standard policy is kept as no setting at all, so that it is the one
  // a future version ships.
  if (retention.tiers == Retention::standard().tiers) {
    if (const int error = git_config_delete_entry(raw, kKeepKey);
        error != 0 && error != GIT_ENOTFOUND) {
      return gitFailure(_("cannot change the history's settings"));
    }
  } else if (git_config_set_string(raw, kKeepKey, retention.text().c_str()) != 0) {
    return gitFailure(_("cannot change the history's settings"));
  }
  if (retention.sizeLimit) {
    if (git_config_set_string(raw, kSizeLimitKey, std::to_string(*retention.sizeLimit).c_str()) !=
        0) {
      return gitFailure(_("cannot change the history's settings"));
    }
  } else {
    // Dropped: absent already is what is asked for.
    (void)git_config_delete_entry(raw, kSizeLimitKey);
  }
  // libgit2 renames the new settings into place without syncing them.
  const std::string gitDir = git_repository_path(repository_);
  if (Status synced = syncPath(gitDir + "config"); !synced.ok()) return synced;
  return syncPath(gitDir);
}

Result<std::string> History::pin(const std::string& id) {
  auto commit = commitById(repository_, id);
  if (!commit.ok()) return commit.status();
  const git_oid& oid = *git_commit_id(commit->get());
  const std::string name = std::string(kPinnedRefs) + hex(oid);
  if (Status set = setReference(repository_, name, nullptr, oid, "tarvine: pinned"); !set.ok()) {
    return set;
  }
  return hex(oid);
}

Result<std::string> History::unpin(const std::string& id) {
  auto commit = commitById(repository_, id);
  if (!commit.ok()) return commit.status();
  const std::string full = hex(*git_commit_id(commit->get()));
  bool found = false;
  for (const Pin& pin : pinsOf(repository_)) {
    if (hex(pin.target) != full) continue;
    found = true;
    if (git_reference_remove(repository_, pin.reference.c_str()) != 0) {
      return gitFailure(formatted(_("cannot unpin %s"), shortId(full).c_str()));
    }
    // Its log would keep the version reachable.
    const std::string log = std::string(git_repository_path(repository_)) + "logs/" + pin.reference;
    if (::unlink(log.c_str()) != 0 && errno != ENOENT) {
      return systemFailure(formatted(_("cannot unpin %s"), shortId(full).c_str()));
    }
  }
  if (!found) {
    return Status::failure(Status::Kind::notFound,
                           formatted(_("%s is not pinned"), shortId(full).c_str()));
  }
  if (Status synced = syncPath(std::string(git_repository_path(repository_)) +
                               std::string(kPinnedRefs.substr(0, kPinnedRefs.size() - 1)));
      !synced.ok()) {
    return synced;
  }
  return full;
}

Result<std::vector<std::string>> History::pinned() {
  std::vector<std::string> ids;
  for (const Pin& pin : pinsOf(repository_)) ids.push_back(hex(pin.target));
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  return ids;
}

std::optional<std::int64_t> History::lastThinned() const {
  std::ifstream in(thinnedAtFile(repository_));
  std::int64_t at = 0;
  if (in >> at) return at;
  return std::nullopt;
}

Result<Thinned> History::thin(std::int64_t now, bool dryRun) {
  auto retention = this->retention();
  if (!retention.ok()) return retention.status();
  auto chain = chainOf(repository_);
  if (!chain.ok()) return chain.status();
  Thinned report;
  report.dryRun = dryRun;
  report.versions = chain->size();
  report.bytesBefore = report.bytesAfter = storeBytes(repository_);
  if (chain->empty()) return report;

  // Pins name versions by commit; one left on a commit that an interrupted
  // thinning wrote anew is found again by what the version holds.
  const std::vector<Pin> pins = pinsOf(repository_);
  std::unordered_set<std::string> pinnedIds, pinnedVersions;
  for (const Pin& pin : pins) {
    pinnedIds.insert(key(pin.target));
    git_commit* raw = nullptr;
    if (git_commit_lookup(&raw, repository_, &pin.target) == 0) {
      Commit owner(raw);
      pinnedVersions.insert(versionKey(raw));
    }
  }
  // Newest first, as the verdicts are.
  std::vector<git_commit*> newestFirst;
  std::vector<Aged> aged;
  for (auto it = chain->rbegin(); it != chain->rend(); ++it) {
    git_commit* commit = it->get();
    newestFirst.push_back(commit);
    aged.push_back({git_commit_time(commit), reasonOf(commit),
                    pinnedIds.contains(key(*git_commit_id(commit))) ||
                        pinnedVersions.contains(versionKey(commit)),
                    0});
  }
  Retention byTiers = *retention;
  byTiers.sizeLimit.reset();
  std::vector<Verdict> verdicts = judge(byTiers, aged, now);
  // Each kept version's share of the store: what it is the newest to hold,
  // scaled from the objects' whole sizes to the store's.
  std::optional<double> scale;
  const auto keptShares = [&]() -> Result<std::vector<std::uint64_t>> {
    if (!scale) {
      auto all = newlyHeld(repository_, newestFirst);
      if (!all.ok()) return all.status();
      std::uint64_t whole = 0;
      for (std::uint64_t bytes : *all) whole += bytes;
      scale = whole == 0 ? 1.0 : static_cast<double>(report.bytesBefore) / whole;
    }
    std::vector<git_commit*> keptCommits;
    for (std::size_t i = 0; i < verdicts.size(); ++i) {
      if (kept(verdicts[i])) keptCommits.push_back(newestFirst[i]);
    }
    auto shares = newlyHeld(repository_, keptCommits);
    if (!shares.ok()) return shares.status();
    for (std::uint64_t& bytes : *shares) bytes = static_cast<std::uint64_t>(bytes * *scale);
    return shares;
  };
  if (retention->sizeLimit) {
    auto shares = keptShares();
    if (!shares.ok()) return shares.status();
    for (std::size_t i = 0, k = 0; i < verdicts.size(); ++i) {
      if (kept(verdicts[i])) aged[i].bytes = (*shares)[k++];
    }
    verdicts = judge(*retention, aged, now);
    std::uint64_t estimate = 0;
    for (std::size_t i = 0; i < verdicts.size(); ++i) {
      if (kept(verdicts[i])) estimate += aged[i].bytes;
    }
    report.stillOverLimit = estimate > *retention->sizeLimit;
  }
  for (std::size_t i = 0; i < verdicts.size(); ++i) {
    if (kept(verdicts[i])) {
      ++report.kept;
    } else {
      report.dropped.push_back(
          {hex(*git_commit_id(newestFirst[i])), aged[i].time, aged[i].reason, verdicts[i]});
    }
  }
  report.tip = hex(*git_commit_id(newestFirst.front()));
  if (dryRun) {
    // The size it would have: what the versions kept hold, as near as can be
    // told before their objects are packed anew.
    if (!report.dropped.empty()) {
      auto shares = keptShares();
      if (!shares.ok()) return shares.status();
      std::uint64_t after = 0;
      for (std::uint64_t bytes : *shares) after += bytes;
      report.bytesAfter = std::min(after, report.bytesBefore);
    }
    return report;
  }
  rememberThinned(repository_, now);
  const std::string unfinished = unfinishedFile(repository_);
  if (report.dropped.empty()) {
    // What a thinning stopped midway left: pins on the old chain, and space
    // not freed yet.
    std::vector<std::pair<std::string, git_oid>> same;
    for (const Commit& commit : *chain) {
      same.emplace_back(versionKey(commit.get()), *git_commit_id(commit.get()));
    }
    auto followed = followPins(repository_, pins, same, now);
    if (!followed.ok()) return followed.status();
    if (!*followed && ::access(unfinished.c_str(), F_OK) != 0) return report;
    if (Status packed = repack(/*dropUnreachable=*/true); !packed.ok()) return packed;
    ::unlink(unfinished.c_str());
    report.bytesAfter = storeBytes(repository_);
    return report;
  }
  if (Status marked = markUnfinished(repository_); !marked.ok()) return marked;

  // The chain written anew from the oldest version dropped on: each kept
  // commit again, as it was, on the kept one before it.
  const std::size_t count = chain->size();
  std::size_t first = count;  // oldest first: index of the oldest dropped
  for (std::size_t i = 0; i < count; ++i) {
    if (!kept(verdicts[count - 1 - i])) {
      first = i;
      break;
    }
  }
  std::optional<git_oid> parent;
  if (first > 0) parent = *git_commit_id((*chain)[first - 1].get());
  std::vector<git_oid> written;
  auto branch = branchName(repository_);
  if (!branch.ok()) return branch.status();
  std::string log;
  // Each kept version by what it holds, with its commit in the new chain.
  std::vector<std::pair<std::string, git_oid>> newChain;
  for (std::size_t i = 0; i < count; ++i) {
    git_commit* commit = (*chain)[i].get();
    const git_oid& id = *git_commit_id(commit);
    if (i < first) {
      newChain.emplace_back(versionKey(commit), id);
      log += logLine(i > 0 ? git_commit_id((*chain)[i - 1].get()) : nullptr, id,
                     git_commit_time(commit), summaryOf(commit));
      continue;
    }
    if (!kept(verdicts[count - 1 - i])) continue;
    const git_oid* parents[1] = {parent ? &*parent : nullptr};
    git_oid made;
    if (git_commit_create_from_ids(
            &made, repository_, nullptr, git_commit_author(commit), git_commit_committer(commit),
            git_commit_message_encoding(commit), git_commit_message_raw(commit),
            git_commit_tree_id(commit), parent ? 1 : 0, parents) != 0) {
      return gitFailure(_("cannot write the thinned history"));
    }
    log += logLine(parent ? &*parent : nullptr, made, git_commit_time(commit),
                   "thinned: " + summaryOf(commit));
    written.push_back(made);
    newChain.emplace_back(versionKey(commit), made);
    parent = made;
  }
  // The new chain is durable before the branch names it.
  if (Status synced = syncNewObjects(repository_, written); !synced.ok()) return synced;
  const std::string oldTip = report.tip;
  if (Status moved = replaceBranch(repository_, *branch, *parent, log); !moved.ok()) {
    return Status::failure(moved.kind(),
                           formatted(_("cannot move the branch: %s"), moved.message().c_str()),
                           moved.errorNumber());
  }
  report.tip = hex(*parent);
  // Its tree is the old tip's, found whole already.
  if (oldTip == intactTip_) {
    intactTip_ = report.tip;
    vouchFor(repository_, intactTip_);
  }
  if (auto followed = followPins(repository_, pins, newChain, now); !followed.ok()) {
    return followed.status();
  }
  if (Status packed = repack(/*dropUnreachable=*/true); !packed.ok()) {
    return Status::failure(
        packed.kind(),
        formatted(_("thinned, but the space is not freed yet: %s"), packed.message().c_str()),

        packed.errorNumber());
  }
  ::unlink(unfinished.c_str());
  report.bytesAfter = storeBytes(repository_);
  return report;
}

}  // namespace tarvine::history
