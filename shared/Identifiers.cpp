#include "shared/Identifiers.h"

#include <vector>

#include "foundation/TextSplit.h"

namespace tarvine {
namespace {

std::string withoutLastComponent(std::string_view identifier) {
  std::vector<std::string_view> pieces = splitNonEmpty(identifier, '.');
  if (!pieces.empty()) pieces.pop_back();
  std::string out;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) out += '.';
    out += pieces[i];
  }
  return out;
}

}  // namespace

Identifiers::Identifiers(Bundle& mainBundle, FileSystem& fileSystem)
    : mainBundle_(mainBundle), fileSystem_(fileSystem) {}

Identifiers& Identifiers::processWide(Bundle& mainBundle, FileSystem& fileSystem) {
  static Identifiers instance(mainBundle, fileSystem);
  return instance;
}

const std::string& Identifiers::mainAppBundleIdentifier() {
  std::call_once(mainAppOnce_, [this] {
    auto own = mainBundle_.bundleIdentifier();
    mainAppBundleIdentifier_ =
        withoutLastComponent(own ? std::string_view(*own) : fallbackExtensionBundleIdentifier);
  });
  return mainAppBundleIdentifier_;
}

const std::string& Identifiers::appGroupIdentifier() {
  std::call_once(appGroupOnce_, [this] {
    auto value = mainBundle_.objectForInfoDictionaryKey(appGroupInfoKey);
    const std::string* text = value ? value->asString() : nullptr;
    appGroupIdentifier_ =
        (text != nullptr && !text->empty()) ? *text : std::string(defaultAppGroupIdentifier);
  });
  return appGroupIdentifier_;
}

std::optional<FileURL> Identifiers::sharedContainerURL() {
  return fileSystem_.containerURLForSecurityApplicationGroupIdentifier(appGroupIdentifier());
}

}  // namespace tarvine
