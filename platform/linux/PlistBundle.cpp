#include "platform/linux/PlistBundle.h"

#include <dirent.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string_view>

#include "foundation/TextSplit.h"
#include "platform/posix/PosixFileSystem.h"

namespace tarvine {
namespace {

// Property-list dates count from 2001-01-01T00:00:00Z.
constexpr std::int64_t kPlistEpoch = 978'307'200;

struct PlistFree {
  void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// Deeper than any real bundle's lists, and shallow enough that converting (and
// later destroying) a value can never exhaust the stack.
constexpr int kMaxDepth = 256;

std::optional<PropertyListValue> convert(plist_t node, int depth) {
  if (depth > kMaxDepth) return std::nullopt;
  switch (plist_get_node_type(node)) {
    case PLIST_STRING: {
      char* text = nullptr;
      plist_get_string_val(node, &text);
      std::string value = text != nullptr ? text : "";
      std::free(text);
      return PropertyListValue{value};
    }
    case PLIST_UINT: {
      // libplist keeps every integer as 64 bits; negative ones come back two's complement.
      std::uint64_t raw = 0;
      plist_get_uint_val(node, &raw);
      return PropertyListValue{static_cast<std::int64_t>(raw)};
    }
    case PLIST_REAL: {
      double value = 0;
      plist_get_real_val(node, &value);
      return PropertyListValue{value};
    }
    case PLIST_BOOLEAN: {
      std::uint8_t value = 0;
      plist_get_bool_val(node, &value);
      return PropertyListValue{value != 0};
    }
    case PLIST_DATE: {
      std::int32_t seconds = 0, micros = 0;
      plist_get_date_val(node, &seconds, &micros);
      return PropertyListValue{
          Timestamp::fromUnix(kPlistEpoch + seconds, std::int64_t{micros} * 1000)};
    }
    case PLIST_DATA: {
      char* bytes = nullptr;
      std::uint64_t length = 0;
      plist_get_data_val(node, &bytes, &length);
      Data value(reinterpret_cast<std::uint8_t*>(bytes),
                 reinterpret_cast<std::uint8_t*>(bytes) + length);
      std::free(bytes);
      return PropertyListValue{std::move(value)};
    }
    case PLIST_ARRAY: {
      PropertyListValue::Array items;
      std::uint32_t size = plist_array_get_size(node);
      for (std::uint32_t i = 0; i < size; ++i) {
        auto item = convert(plist_array_get_item(node, i), depth + 1);
        if (!item) return std::nullopt;
        items.push_back(std::move(*item));
      }
      return PropertyListValue{std::move(items)};
    }
    case PLIST_DICT: {
      PropertyListValue::Dictionary entries;
      plist_dict_iter iter = nullptr;
      plist_dict_new_iter(node, &iter);
      for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(node, iter, &key, &value);
        if (value == nullptr) {
          std::free(key);
          break;
        }
        std::string name = key != nullptr ? key : "";
        std::free(key);
        auto converted = convert(value, depth + 1);
        if (!converted) {
          std::free(iter);
          return std::nullopt;
        }
        entries.push_back({std::move(name), std::move(*converted)});
      }
      std::free(iter);
      return PropertyListValue{std::move(entries)};
    }
    default:
      // Keys and UIDs do not occur as values of a well-formed list.
      return PropertyListValue{std::string()};
  }
}

const PropertyListValue* lookup(const PropertyListValue::Dictionary& dictionary,
                                std::string_view key) {
  for (const auto& entry : dictionary) {
    if (entry.key == key) return &entry.value;
  }
  return nullptr;
}

bool isRegularFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// "de_DE.UTF-8@euro" gives "de_DE"; "C" and "POSIX" name no language.
std::string languageOf(std::string value) {
  value = value.substr(0, value.find_first_of(".@"));
  if (value == "C" || value == "POSIX") return "";
  return value;
}

// A variable the C library reads: unset and empty are the same.
const char* setting(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

// "de_AT", "de-at" and "DE_at" compare alike; "de_AT" gives language "de".
std::string normalized(std::string_view name) {
  std::string text(name);
  for (char& c : text) {
    c = c == '_' ? '-' : static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  }
  return text;
}
std::string baseLanguage(std::string_view name) {
  return normalized(name.substr(0, name.find_first_of("_-")));
}

// The bundle's localizations: each LANG.lproj that holds a string table.
std::vector<std::string> localizationsIn(const std::string& resources) {
  std::vector<std::string> found;
  DIR* folder = ::opendir(resources.c_str());
  if (folder == nullptr) return found;
  constexpr std::string_view kSuffix = ".lproj";
  while (const dirent* entry = ::readdir(folder)) {
    const std::string_view name = entry->d_name;
    if (name.size() <= kSuffix.size() || !name.ends_with(kSuffix)) continue;
    const std::string localization(name.substr(0, name.size() - kSuffix.size()));
    if (isRegularFile(resources + "/" + localization + ".lproj/Localizable.strings")) {
      found.push_back(localization);
    }
  }
  ::closedir(folder);
  // Sorted, so that a choice between regions of one language is always the same.
  std::sort(found.begin(), found.end());
  return found;
}

// The bundle's location as the platform gives it: absolute, without "." or ".."
// components, so that the application three components up is the right folder.
std::string absoluteStandardPath(std::string directory) {
  if (directory.empty() || directory.front() != '/') {
    std::vector<char> cwd(4096);
    while (::getcwd(cwd.data(), cwd.size()) == nullptr && errno == ERANGE)
      cwd.resize(cwd.size() * 2);
    std::string base = cwd.data();
    directory = (base.empty() ? std::string("/") : base) + "/" + directory;
  }
  return FileURL::fromPath(directory, true).standardized().path();
}

}  // namespace

PlistBundle::PlistBundle(std::string directory, std::vector<std::string> preferredLanguages)
    : directory_(absoluteStandardPath(std::move(directory))),
      preferredLanguages_(std::move(preferredLanguages)) {}

// As gettext chooses a program's messages: the locale of messages is the
// first of LC_ALL, LC_MESSAGES and LANG that is set; in the C locale nothing
// is translated, LANGUAGE included; otherwise LANGUAGE's list comes first.
std::vector<std::string> PlistBundle::languagesFromEnvironment() {
  const char* locale = setting("LC_ALL");
  if (locale == nullptr) locale = setting("LC_MESSAGES");
  if (locale == nullptr) locale = setting("LANG");
  const std::string messages = locale != nullptr ? locale : "C";
  if (messages == "C" || messages == "POSIX") return {};
  std::vector<std::string> languages;
  auto add = [&](const std::string& raw) {
    std::string language = languageOf(raw);
    if (!language.empty()) languages.push_back(language);
  };
  if (const char* list = setting("LANGUAGE")) {
    for (std::string_view language : splitNonEmpty(list, ':')) add(std::string(language));
  }
  add(messages);
  return languages;
}

std::optional<PropertyListValue> PlistBundle::readPropertyList(const std::string& path) {
  auto content = PosixFileSystem::readRegularFile(path, kMaxPropertyListBytes);
  if (!content.ok() || content->empty()) return std::nullopt;
  // Out of memory while parsing or converting: the list is unreadable, as a
  // broken one is; the caller falls back to its defaults.
  try {
    plist_t root = nullptr;
    plist_from_memory(content->data(), static_cast<std::uint32_t>(content->size()), &root);
    if (root == nullptr) return std::nullopt;
    PlistPtr owner(root);
    return convert(root, 0);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

const PropertyListValue::Dictionary* PlistBundle::info() {
  if (!infoLoaded_) {
    infoLoaded_ = true;
    info_ = readPropertyList(directory_ + "/Contents/Info.plist");
  }
  return info_ ? std::get_if<PropertyListValue::Dictionary>(&info_->value) : nullptr;
}

bool PlistBundle::isLoadable() {
  std::lock_guard lock(mutex_);
  return info() != nullptr;
}

std::optional<std::string> PlistBundle::bundleIdentifier() {
  std::lock_guard lock(mutex_);
  const auto* dictionary = info();
  const PropertyListValue* value = dictionary ? lookup(*dictionary, "CFBundleIdentifier") : nullptr;
  if (value == nullptr || value->asString() == nullptr) return std::nullopt;
  return *value->asString();
}

std::optional<PropertyListValue> PlistBundle::objectForInfoDictionaryKey(std::string_view key) {
  std::lock_guard lock(mutex_);
  const auto* dictionary = info();
  const PropertyListValue* value = dictionary ? lookup(*dictionary, key) : nullptr;
  if (value == nullptr) return std::nullopt;
  return *value;
}

FileURL PlistBundle::bundleURL() { return FileURL::fromPath(directory_, true); }

// As the platform matches a user's languages with a bundle's localizations:
// the first preferred language the bundle has, exactly ("de_AT" and "de-AT"
// alike), else as the language alone ("de" for "de_AT"), else in another
// region ("pt_PT" for "pt_BR"); then the development region, English, Base.
const std::string& PlistBundle::chosenLocalization() {
  if (!localization_) {
    localization_ = "";
    const std::vector<std::string> available = localizationsIn(directory_ + "/Contents/Resources");
    auto find = [&](auto&& matches) -> bool {
      auto it = std::find_if(available.begin(), available.end(), matches);
      if (it != available.end()) localization_ = *it;
      return it != available.end();
    };
    for (const std::string& language : preferredLanguages_) {
      const std::string wanted = normalized(language), base = baseLanguage(language);
      if (find([&](const std::string& name) { return normalized(name) == wanted; }) ||
          find([&](const std::string& name) { return normalized(name) == base; }) ||
          find([&](const std::string& name) { return baseLanguage(name) == base; })) {
        return *localization_;
      }
    }
    std::vector<std::string> fallbacks;
    const auto* dictionary = info();
    if (const PropertyListValue* region =
            dictionary ? lookup(*dictionary, "CFBundleDevelopmentRegion") : nullptr) {
      if (region->asString() != nullptr) fallbacks.push_back(*region->asString());
    }
    fallbacks.push_back("en");
    fallbacks.push_back("Base");
    for (const std::string& fallback : fallbacks) {
      if (find([&](const std::string& name) { return normalized(name) == normalized(fallback); }))
        break;
    }
  }
  return *localization_;
}

std::string PlistBundle::localization() {
  std::lock_guard lock(mutex_);
  return chosenLocalization();
}

std::string PlistBundle::localizedString(std::string_view key, std::string_view defaultValue) {
  std::lock_guard lock(mutex_);
  if (!strings_) {
    strings_.emplace();
    const std::string& language = chosenLocalization();
    if (!language.empty()) {
      auto table = readPropertyList(directory_ + "/Contents/Resources/" + language +
                                    ".lproj/Localizable.strings");
      const auto* entries =
          table ? std::get_if<PropertyListValue::Dictionary>(&table->value) : nullptr;
      for (const auto& entry : entries ? *entries : PropertyListValue::Dictionary{}) {
        if (entry.value.asString() != nullptr)
          strings_->emplace(entry.key, *entry.value.asString());
      }
    }
  }
  auto it = strings_->find(std::string(key));
  if (it != strings_->end()) return it->second;
  return defaultValue.empty() ? std::string(key) : std::string(defaultValue);
}

// Looked up once per name, like the platform's images: a host asking for the
// file on every menu costs no file-system call.
const PlistBundle::Image& PlistBundle::image(const std::string& name) {
  auto cached = images_.find(name);
  if (cached != images_.end()) return cached->second;
  Image found;
  if (!name.empty() && name.find('/') == std::string::npos) {
    for (const char* extension : {".png", ".svg"}) {
      std::string path = directory_ + "/Contents/Resources/" + name + extension;
      if (!isRegularFile(path)) continue;
      gint width = 0, height = 0;
      // Reads the size from the file's header without decoding the image.
      if (gdk_pixbuf_get_file_info(path.c_str(), &width, &height) != nullptr) {
        found.size = NamedImage{name, static_cast<double>(width), static_cast<double>(height)};
      }
      found.path = std::move(path);
      break;
    }
  }
  return images_.emplace(name, std::move(found)).first->second;
}

std::optional<std::string> PlistBundle::imagePath(std::string_view name) {
  std::lock_guard lock(mutex_);
  return image(std::string(name)).path;
}

std::optional<NamedImage> PlistBundle::imageNamed(std::string_view name) {
  std::lock_guard lock(mutex_);
  return image(std::string(name)).size;
}

}  // namespace tarvine
