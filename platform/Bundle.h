#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "foundation/FileURL.h"
#include "platform/PropertyListValue.h"

namespace tarvine {

// An image resource of a bundle, by name, with its size in points.
struct NamedImage {
  std::string name;
  double width = 0;
  double height = 0;

  friend bool operator==(const NamedImage&, const NamedImage&) = default;
};

// The extension's own bundle: its identity, information values and resources.
class Bundle {
 public:
  virtual ~Bundle() = default;

  virtual std::optional<std::string> bundleIdentifier() = 0;
  // The information property list value of `key`, of whatever type it has.
  virtual std::optional<PropertyListValue> objectForInfoDictionaryKey(std::string_view key) = 0;
  // The bundle's own directory, in directory form.
  virtual FileURL bundleURL() = 0;
  // The translation of `key` from the default string table; `defaultValue` when
  // there is none, or the key itself when `defaultValue` is empty.
  virtual std::string localizedString(std::string_view key, std::string_view defaultValue) = 0;
  virtual std::optional<NamedImage> imageNamed(std::string_view name) = 0;
};

}  // namespace tarvine
