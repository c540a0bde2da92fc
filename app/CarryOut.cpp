#include "app/CarryOut.h"

#include <glib/gi18n.h>

#include "platform/linux/LinuxBookmarks.h"
#include "roots/Language.h"
#include "roots/Words.h"

namespace tarvine::app {
namespace {

namespace words = roots::words;
using roots::language::formatted;

template <class T>
std::vector<std::string> linesOf(const Result<T>& result,
                                 std::vector<std::string> (*describe)(const T&)) {
  return result.ok() ? describe(*result) : std::vector<std::string>{result.status().message()};
}

std::vector<std::string> lineOf(const Status& status, const std::string& done) {
  return {status.ok() ? done : status.message()};
}

}  // namespace

std::vector<std::string> carryOut(roots::Keeper& keeper, const HistoryRequest& request) {
  const std::string target = roots::withoutTrailingSlash(request.target);
  switch (request.kind) {
    case HistoryRequest::Kind::enableHistory:
      // The folder named must still be the one the extension saw: a folder
      // replaced since (another one at the same path) is not enabled.
      if (request.bookmark) {
        auto resolved = LinuxBookmarks::resolve(*request.bookmark);
        if (!resolved || roots::withoutTrailingSlash(*resolved) != target) {
          return {formatted(_("refused to enable %s: the folder was replaced since it was picked"),
                            target.c_str())};
        }
      }
      return linesOf(keeper.watch(target, RootMode::automatic), &words::watched);
    case HistoryRequest::Kind::disableHistory:
      return lineOf(keeper.pause(target), words::paused(target));
    case HistoryRequest::Kind::snapshotNow:
      return linesOf(keeper.snapshot(target, history::Reason::manual, /*tidy=*/true),
                     &words::taken);
    case HistoryRequest::Kind::restorePrevious: {
      auto restored = keeper.restore(target, std::nullopt);
      return restored.ok() ? words::restored(target, *restored)
                           : std::vector<std::string>{restored.status().message()};
    }
    case HistoryRequest::Kind::showHistory: {
      auto listing = keeper.versions(target);
      return listing.ok() ? words::listing(target, *listing)
                          : std::vector<std::string>{listing.status().message()};
    }
  }
  return {formatted(_("unknown request for %s"), target.c_str())};
}

}  // namespace tarvine::app
