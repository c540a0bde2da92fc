#pragma once

#include <functional>
#include <optional>
#include <string_view>

#include "foundation/FileURL.h"
#include "platform/Services.h"
#include "requests/BookmarkMinter.h"
#include "requests/HistoryRequest.h"
#include "requests/MainAppLauncher.h"
#include "shared/Identifiers.h"

namespace tarvine {

// Turns one menu command into one request file in the spool, the "requests"
// directory of the shared container, and wakes the main application when the
// command asks for it. It never consults the manifest and never reads, renames
// or removes a request file.
class RequestSubmitter {
 public:
  static constexpr std::string_view spoolDirectoryName = "requests";
  using TargetResolver = std::function<std::optional<FileURL>()>;

  RequestSubmitter(const Services& services, Identifiers& identifiers,
                   TargetResolver resolveTargetURL);

  // Failures are absorbed: a missing target or container writes nothing and
  // wakes nothing; a failed write still wakes when `wakeMainApp` says so.
  void submitRequest(HistoryRequest::Kind kind, bool attachBookmark, bool wakeMainApp);

  // Writes `request` as "<id>.json" into `spoolDirectory`, creating the directory first.
  Status writeRequest(const FileURL& spoolDirectory, const HistoryRequest& request);

 private:
  Services services_;
  Identifiers& identifiers_;
  TargetResolver resolveTargetURL_;
  BookmarkMinter bookmarkMinter_;
  MainAppLauncher launcher_;
};

}  // namespace tarvine
