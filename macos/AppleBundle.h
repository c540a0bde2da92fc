#pragma once

#include "platform/Bundle.h"

namespace tarvine::apple {

// The extension's own bundle: NSBundle's main bundle inside the extension.
class AppleBundle : public Bundle {
 public:
  std::optional<std::string> bundleIdentifier() override;
  std::optional<PropertyListValue> objectForInfoDictionaryKey(std::string_view key) override;
  FileURL bundleURL() override;
  std::string localizedString(std::string_view key, std::string_view defaultValue) override;
  std::optional<NamedImage> imageNamed(std::string_view name) override;
};

}  // namespace tarvine::apple
