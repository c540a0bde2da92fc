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
    : mainBundle_(mainBundle), fileSystem_(fileSystem), memo_(ownMemo_) {}

Identifiers::Identifiers(Bundle& mainBundle, FileSystem& fileSystem, Memo& memo)
    : mainBundle_(mainBundle), fileSystem_(fileSystem), memo_(memo) {}

Identifiers::Memo& Identifiers::processWide() {
  // Never destroyed: a host thread may still ask while the process exits.
  static Memo* memo = new Memo;
  return *memo;
}

const std::string& Identifiers::mainAppBundleIdentifier() {
  std::call_once(memo_.mainAppOnce, [this] {
    auto own = mainBundle_.bundleIdentifier();
    memo_.mainAppBundleIdentifier =
        withoutLastComponent(own ? std::string_view(*own) : fallbackExtensionBundleIdentifier);
  });
  return memo_.mainAppBundleIdentifier;
}

const std::string& Identifiers::appGroupIdentifier() {
  std::call_once(memo_.appGroupOnce, [this] {
    auto value = mainBundle_.objectForInfoDictionaryKey(appGroupInfoKey);
    const std::string* text = value ? value->asString() : nullptr;
    memo_.appGroupIdentifier =
        (text != nullptr && !text->empty()) ? *text : std::string(defaultAppGroupIdentifier);
  });
  return memo_.appGroupIdentifier;
}

std::optional<FileURL> Identifiers::sharedContainerURL() {
  return fileSystem_.containerURLForSecurityApplicationGroupIdentifier(appGroupIdentifier());
}

}  // namespace tarvine
