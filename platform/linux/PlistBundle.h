#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Bundle.h"

namespace tarvine {

// A bundle directory laid out as on macOS: Contents/Info.plist (XML or binary
// property list) and Contents/Resources/ with LANG.lproj/Localizable.strings
// (a property-list dictionary) and NAME.png or NAME.svg images.
class PlistBundle : public Bundle {
 public:
  // `directory` is made absolute (from the working directory) and standard.
  // `preferredLanguages` in order of preference, e.g. from languagesFromEnvironment().
  PlistBundle(std::string directory, std::vector<std::string> preferredLanguages);

  // The user's languages, as gettext reads them, without encoding or
  // modifier: those of LANGUAGE (a colon-separated list), then the locale's
  // own (the first of LC_ALL, LC_MESSAGES and LANG that is set); none in the
  // C locale, whose texts are the development region's.
  static std::vector<std::string> languagesFromEnvironment();

  // Whether Contents/Info.plist exists and is a property-list dictionary.
  bool isLoadable();

  std::optional<std::string> bundleIdentifier() override;
  std::optional<PropertyListValue> objectForInfoDictionaryKey(std::string_view key) override;
  FileURL bundleURL() override;
  std::string localizedString(std::string_view key, std::string_view defaultValue) override;
  std::optional<NamedImage> imageNamed(std::string_view name) override;
  // The file the image of that name was read from; absent when there is none.
  std::optional<std::string> imagePath(std::string_view name);

  // The localisation directory chosen, e.g. "de" for de.lproj, as the platform
  // chooses: the first preferred language the bundle has (exactly, as the
  // language alone, or in another region), else the development region,
  // English or Base; empty when none is usable.
  std::string localization();

  // Property lists and string tables are small; a larger file is not read.
  static constexpr std::size_t kMaxPropertyListBytes = std::size_t{16} << 20;

  // Reads a property-list file of either form; absent when it cannot be read,
  // is larger than the limit above, or nests deeper than any real list does.
  static std::optional<PropertyListValue> readPropertyList(const std::string& path);

 private:
  const PropertyListValue::Dictionary* info();
  const std::string& chosenLocalization();
  // NAME.png, else NAME.svg, in Contents/Resources: its file and size.
  struct Image {
    std::optional<std::string> path;
    std::optional<NamedImage> size;
  };
  const Image& image(const std::string& name);

  std::string directory_;
  std::vector<std::string> preferredLanguages_;

  // Loaded once, like the platform's bundles do; guarded for hosts that call from several threads.
  std::mutex mutex_;
  bool infoLoaded_ = false;
  std::optional<PropertyListValue> info_;
  std::optional<std::string> localization_;
  std::optional<std::map<std::string, std::string>> strings_;
  std::map<std::string, Image> images_;
};

}  // namespace tarvine
