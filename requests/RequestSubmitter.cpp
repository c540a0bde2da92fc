#include "requests/RequestSubmitter.h"

namespace tarvine {

RequestSubmitter::RequestSubmitter(const Services& services, Identifiers& identifiers,
                                   TargetResolver resolveTargetURL)
    : services_(services),
      identifiers_(identifiers),
      resolveTargetURL_(std::move(resolveTargetURL)),
      bookmarkMinter_(services.bookmarks, services.log),
      launcher_(services.mainBundle, services.workspace) {}

void RequestSubmitter::submitRequest(HistoryRequest::Kind kind, bool attachBookmark,
                                     bool wakeMainApp) {
  const std::optional<FileURL> target = resolveTargetURL_();
  // A target no request can hold is treated as no target: nothing is written,
  // woken or logged, rather than a wake-up for a request that never comes.
  if (!target || !HistoryRequest::canCarryTarget(target->path())) return;
  const std::optional<FileURL> container = identifiers_.sharedContainerURL();
  if (!container) return;
  const FileURL spool = container->appendingPathComponent(spoolDirectoryName, true);

  HistoryRequest request;
  request.version = 1;
  request.createdAt = services_.clock.now();
  request.kind = kind;
  // The path as the host reported it: no standardising, no link resolution.
  request.target = target->path();
  if (attachBookmark) request.bookmark = bookmarkMinter_.mintBookmark(*target);
  request.id = services_.uuids.randomUuidString();

  // A failed write is dropped: nothing is shown, logged or retried.
  (void)writeRequest(spool, request);
  if (wakeMainApp) launcher_.wakeMainApplication();
}

Status RequestSubmitter::writeRequest(const FileURL& spoolDirectory,
                                      const HistoryRequest& request) {
  if (Status created = services_.fileSystem.createDirectory(spoolDirectory); !created.ok()) {
    return created;
  }
  Result<std::string> encoded = request.encode();
  if (!encoded.ok()) return encoded.status();
  const FileURL file = spoolDirectory.appendingPathComponent(request.id + ".json", false);
  return services_.fileSystem.writeFileAtomically(file, *encoded);
}

}  // namespace tarvine
