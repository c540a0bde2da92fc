#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "foundation/FileURL.h"
#include "platform/Bundle.h"
#include "platform/FileSystem.h"

namespace tarvine {

// The identifiers that tie the extension to the main application, each derived
// once from the extension's own bundle and then kept for the life of the object,
// and the group container that both processes share.
class Identifiers {
 public:
  // The extension's bundle identifier as shipped: the main application's, plus ".FinderSync".
  static constexpr std::string_view fallbackExtensionBundleIdentifier =
      "com.quillfen.tarvine.FinderSync";
  // The developer team prefix, a dot, and the main application's bundle identifier.
  static constexpr std::string_view defaultAppGroupIdentifier = "QF7T2K9M4R.com.quillfen.tarvine";
  // The information property list key that may name another application group.
  static constexpr std::string_view appGroupInfoKey = "QuillfenAppGroup";

  Identifiers(Bundle& mainBundle, FileSystem& fileSystem);
  Identifiers(const Identifiers&) = delete;
  Identifiers& operator=(const Identifiers&) = delete;

  // The one instance that a process's extension uses; the first call's services win.
  static Identifiers& processWide(Bundle& mainBundle, FileSystem& fileSystem);

  // The extension's bundle identifier without its last dot-separated component;
  // may be empty. Computed on first use, safely from any thread.
  const std::string& mainAppBundleIdentifier();
  // A usable "QuillfenAppGroup" string, or the default. Computed on first use.
  const std::string& appGroupIdentifier();
  // Asked afresh on every call; absent when the platform grants no container.
  std::optional<FileURL> sharedContainerURL();

 private:
  Bundle& mainBundle_;
  FileSystem& fileSystem_;
  std::once_flag mainAppOnce_;
  std::once_flag appGroupOnce_;
  std::string mainAppBundleIdentifier_;
  std::string appGroupIdentifier_;
};

}  // namespace tarvine
