#include "macos/AppleBundle.h"

#import <AppKit/AppKit.h>

#include "macos/AppleConversions.h"

namespace tarvine::apple {
namespace {

// Deeper than any real information list, shallow enough for the stack.
constexpr int kMaxDepth = 256;

// A property-list object with its type kept; absent for what is none.
std::optional<PropertyListValue> convert(id object, int depth) {
  if (object == nil || depth > kMaxDepth) return std::nullopt;
  if ([object isKindOfClass:[NSString class]]) return PropertyListValue{text(object)};
  if ([object isKindOfClass:[NSNumber class]]) {
    NSNumber* number = object;
    const char* type = [number objCType];
    // Booleans are stored as chars; fractions as floats or doubles.
    if (std::string(type) == @encode(BOOL) || std::string(type) == "c") {
      return PropertyListValue{static_cast<bool>([number boolValue])};
    }
    if (std::string(type) == "d" || std::string(type) == "f") {
      return PropertyListValue{[number doubleValue]};
    }
    return PropertyListValue{static_cast<std::int64_t>([number longLongValue])};
  }
  if ([object isKindOfClass:[NSDate class]]) return PropertyListValue{timestamp(object)};
  if ([object isKindOfClass:[NSData class]]) {
    NSData* data = object;
    const auto* bytes = static_cast<const std::uint8_t*>([data bytes]);
    return PropertyListValue{Data(bytes, bytes + [data length])};
  }
  if ([object isKindOfClass:[NSArray class]]) {
    PropertyListValue::Array items;
    for (id item in static_cast<NSArray*>(object)) {
      auto converted = convert(item, depth + 1);
      if (!converted) return std::nullopt;
      items.push_back(std::move(*converted));
    }
    return PropertyListValue{std::move(items)};
  }
  if ([object isKindOfClass:[NSDictionary class]]) {
    PropertyListValue::Dictionary entries;
    NSDictionary* dictionary = object;
    for (id key in dictionary) {
      auto converted = convert([dictionary objectForKey:key], depth + 1);
      if (!converted || ![key isKindOfClass:[NSString class]]) return std::nullopt;
      entries.push_back({text(key), std::move(*converted)});
    }
    return PropertyListValue{std::move(entries)};
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> AppleBundle::bundleIdentifier() {
  NSString* identifier = [[NSBundle mainBundle] bundleIdentifier];
  if (identifier == nil) return std::nullopt;
  return text(identifier);
}

std::optional<PropertyListValue> AppleBundle::objectForInfoDictionaryKey(std::string_view key) {
  @autoreleasepool {
    return convert([[NSBundle mainBundle] objectForInfoDictionaryKey:string(std::string(key))], 0);
  }
}

FileURL AppleBundle::bundleURL() {
  auto location = fileURL([[NSBundle mainBundle] bundleURL]);
  return FileURL::fromPath(location ? location->path() : "/", true);
}

std::string AppleBundle::localizedString(std::string_view key, std::string_view defaultValue) {
  @autoreleasepool {
    return text([[NSBundle mainBundle] localizedStringForKey:string(std::string(key))
                                                       value:string(std::string(defaultValue))
                                                       table:nil]);
  }
}

std::optional<NamedImage> AppleBundle::imageNamed(std::string_view name) {
  @autoreleasepool {
    NSImage* image = [NSImage imageNamed:string(std::string(name))];
    if (image == nil) return std::nullopt;
    const NSSize size = [image size];
    return NamedImage{std::string(name), size.width, size.height};
  }
}

}  // namespace tarvine::apple
