#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Status.h"
#include "history/Mirror.h"
#include "roots/Keeper.h"

// The watched roots' mirrors (history/Mirror.h), each kept in its root's
// history, and histories brought back from one. Adding, removing and
// adopting hold the container's lock; pushes only the history's mirrors' lock.
namespace tarvine::roots::mirrors {

struct OfRoot {
  std::string root;
  std::vector<history::mirror::Mirror> mirrors;
};
// The mirrors of the watched root `folder`, or of every root without one.
Result<std::vector<OfRoot>> list(const Container& container,
                                 const std::optional<std::string>& folder);
Status add(const Container& container, const std::string& folder, const std::string& url);
Status remove(const Container& container, const std::string& folder, const std::string& url);

struct PushedTo {
  std::string root, url;
  Result<history::mirror::Pushed> pushed;
};
// Pushes the mirror `url` of the watched root `folder`; snapshots go on meanwhile.
Result<history::mirror::Pushed> pushOne(
    const Container& container, const std::string& folder, const std::string& url,
    const std::function<void(const history::mirror::Progress&)>& progress = {},
    const std::atomic<bool>* stop = nullptr);
// Pushes every mirror of `folder` (of every root without one), one after the
// other; each answer says how its push went.
Result<std::vector<PushedTo>> push(
    const Container& container, const std::optional<std::string>& folder,
    const std::function<void(const std::string& url, const history::mirror::Progress&)>& progress =
        {});

struct CheckedMirror {
  std::string root, url;
  Result<history::CheckReport> report;
  bool intact() const { return report.ok() && report->intact(); }
};
// Every mirror of `folder` (of every root without one) read and verified
// (history::mirror::check), a server's from a copy fetched whole.
Result<std::vector<CheckedMirror>> check(const Container& container,
                                         const std::optional<std::string>& folder,
                                         const std::atomic<bool>* stop = nullptr);

// Brings a mirrored history back: fetched from `url` into the history of
// `folder` (an empty folder, or one that does not exist yet, which is made),
// its newest snapshot (or `version`) written there with its links and
// executable bits, and the folder watched with `url` kept as its mirror.
// The version written.
Result<std::string> adopt(
    Keeper& keeper, const std::string& url, const std::string& folder,
    const std::optional<std::string>& version,
    const std::function<void(const history::mirror::Progress&)>& progress = {});

}  // namespace tarvine::roots::mirrors
