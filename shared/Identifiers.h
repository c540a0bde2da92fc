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
// once from the extension's own bundle and then kept, and the group container
// that both processes share.
class Identifiers {
 public:
  // The two texts once computed. It holds no services, so one of them can
  // outlive every extension object that used it: the process-wide one does.
  struct Memo {
    std::once_flag mainAppOnce;
    std::once_flag appGroupOnce;
    std::string mainAppBundleIdentifier;
    std::string appGroupIdentifier;
  };

  // The extension's bundle identifier as shipped: the main application's, plus ".FinderSync".
  static constexpr std::string_view fallbackExtensionBundleIdentifier =
      "com.quillfen.tarvine.FinderSync";
  // The developer team prefix, a dot, and the main application's bundle identifier.
  // A Mac build defines the signing team's group (macos/BundleFiles.cmake).
#ifdef TARVINE_APP_GROUP
  static constexpr std::string_view defaultAppGroupIdentifier = TARVINE_APP_GROUP;
#else
  static constexpr std::string_view defaultAppGroupIdentifier = "QF7T2K9M4R.com.quillfen.tarvine";
#endif
  // The information property list key that may name another application group.
  static constexpr std::string_view appGroupInfoKey = "QuillfenAppGroup";

  // Texts kept for the life of this object.
  Identifiers(Bundle& mainBundle, FileSystem& fileSystem);
  // Texts kept in `memo`; the services are only this object's, for as long as it lives.
  Identifiers(Bundle& mainBundle, FileSystem& fileSystem, Memo& memo);
  Identifiers(const Identifiers&) = delete;
  Identifiers& operator=(const Identifiers&) = delete;

  // The texts a process computes once, whichever extension object asks first.
  // A host may make several extension objects in turn (the Finder makes more
  // for Open and Save panels); each binds its own services to this memo.
  static Memo& processWide();

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
  Memo ownMemo_;
  Memo& memo_;
};

}  // namespace tarvine
