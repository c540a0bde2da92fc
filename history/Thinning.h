#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/Status.h"
#include "history/History.h"

// Retention: which versions of a history are kept as it grows old, and
// thinning it to them.
namespace tarvine::history {

// How many versions a history keeps by their age: every version younger than
// the first tier's age, then one in each span of the next tier's spacing up
// to its age, and so on. Versions older than the last tier's age go, unless
// that age is unlimited.
struct Retention {
  struct Tier {
    std::int64_t every = 0;            // seconds between versions kept; 0 keeps all
    std::optional<std::int64_t> upTo;  // up to this age in seconds; none: for ever
    bool operator==(const Tier&) const = default;
  };
  std::vector<Tier> tiers;
  // The history's size on disk it is thinned to, oldest first; none: no limit.
  std::optional<std::uint64_t> sizeLimit;
  bool operator==(const Retention&) const = default;

  // Everything for a day, one an hour for a week, one a day for three months,
  // one a week after that; no size limit.
  static Retention standard();

  // The tiers as people write them: "EVERY:AGE" pairs separated by commas,
  // each a number and a unit (s, m, h, d, w; "all" for every version,
  // "forever" for no age limit), ages growing: "all:1d,1h:7d,1d:90d,1w:forever".
  static Result<Retention> parse(std::string_view tiers);
  std::string text() const;
  // A size as people write it: bytes, or a number with K, M, G or T (powers
  // of 1024); "none" for no limit.
  static Result<std::optional<std::uint64_t>> parseSize(std::string_view size);
};

// The states kept before restores are kept this long whatever the tiers say,
// so that a restore can be undone for a while.
constexpr std::int64_t kBeforeRestoreKeptSeconds = 14 * 24 * 60 * 60;

// Pins live under this prefix, one reference per pinned version, where stock
// git sees them (and what they name) as reachable.
constexpr std::string_view kPinnedRefs = "refs/tarvine/pinned/";

// One version as thinning sees it, newest first.
struct Aged {
  std::int64_t time = 0;  // seconds since the epoch
  Reason reason = Reason::automatic;
  bool pinned = false;
  std::uint64_t bytes = 0;  // what dropping it (and all older ones) frees, as estimated
};

// Why a version is kept or goes.
enum class Verdict {
  newest,         // the newest is always kept
  pinned,         // the user pinned it
  beforeRestore,  // a state kept before a restore, recently
  tier,           // the first version of its span in its tier
  dropped,        // not kept by the tiers
  overSize,       // kept by the tiers, but the oldest while the history was over its size
};
std::string_view verdictName(Verdict verdict);
inline bool kept(Verdict verdict) {
  return verdict != Verdict::dropped && verdict != Verdict::overSize;
}

// What `retention` keeps of `versions` (newest first) at `now`: a verdict for
// each. With a size limit, the history's size is estimated as the sum of the
// kept versions' `bytes`, and versions the tiers keep go oldest first while
// that stays over the limit (never a pinned one, a recent state before a
// restore, or the newest).
std::vector<Verdict> judge(const Retention& retention, const std::vector<Aged>& versions,
                           std::int64_t now);

// One version thinning dropped, or would.
struct Dropped {
  std::string id;
  std::int64_t time = 0;
  Reason reason = Reason::automatic;
  Verdict verdict = Verdict::dropped;  // dropped or overSize
};

// What a thinning did (or, dry, would do).
struct Thinned {
  bool dryRun = false;
  std::size_t versions = 0;  // before
  std::size_t kept = 0;
  std::vector<Dropped> dropped;  // newest first
  // The history's size on disk before, and after the pack that freed the
  // space (equal to before when nothing went); on a dry run, an estimate of
  // it: what the versions kept hold, scaled to the store's compression.
  std::uint64_t bytesBefore = 0, bytesAfter = 0;
  // Over its size limit still once everything that may go went.
  bool stillOverLimit = false;
  std::string tip;  // the newest version's id now
};

}  // namespace tarvine::history
