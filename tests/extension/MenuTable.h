// The menu table: where a Finder item lies among the watched roots, and the
// menu the extension gives for it. Shared by the core's test and by the run of
// the macOS class on GNUstep, which must give the same menus.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "extension/Menu.h"

namespace tarvine::testing {

// A menu in one line: the top-level action, then each command as + (enabled)
// or - (disabled), with the enable entry's state; "empty" for no items.
inline constexpr MenuKind kItems = MenuKind::contextualMenuForItems;
inline constexpr MenuKind kFolder = MenuKind::contextualMenuForContainer;

struct MenuRow {
  const char* item;  // below the folder that holds the roots
  bool isDirectory;
  MenuKind kind;
  const char* menu;
};

inline constexpr MenuRow kMenuTable[] = {
    {"/outside", true, kItems, "enableHistory: enable+(off) disable- snapshot- restore- show-"},
    {"/outside/file.txt", false, kItems, "empty"},
    {"/manual", true, kItems, "showHistory: enable-(on) disable+ snapshot+ restore- show+"},
    {"/auto", true, kItems, "showHistory: enable-(on) disable+ snapshot- restore- show+"},
    {"/nomode", true, kItems, "showHistory: enable-(on) disable+ snapshot- restore- show+"},
    {"/other", true, kItems, "showHistory: enable-(on) disable+ snapshot- restore- show+"},
    {"/paused", true, kItems, "showHistory: enable+(off) disable- snapshot- restore- show+"},
    {"/auto/sub", true, kItems, "showHistory: enable-(on) disable- snapshot- restore- show+"},
    {"/paused/sub", true, kItems, "showHistory: enable-(off) disable- snapshot- restore- show+"},
    {"/auto/a.txt", false, kItems, "showHistory: enable-(on) disable- snapshot- restore+ show+"},
    {"/paused/a.txt", false, kItems, "showHistory: enable-(off) disable- snapshot- restore+ show+"},
    // The root given without a trailing slash counts as a file.
    {"/manual", false, kItems, "showHistory: enable-(on) disable+ snapshot+ restore+ show+"},
    // Kind 1, the folder a window shows, gets the same menu; the sidebar and
    // the toolbar item get none.
    {"/manual", true, kFolder, "showHistory: enable-(on) disable+ snapshot+ restore- show+"},
    {"/manual", true, MenuKind::contextualMenuForSidebar, "empty"},
    {"/manual", true, MenuKind::toolbarItemMenu, "empty"},
};

// The submenu's command names, by position (separators at 2 and 5).
inline constexpr const char* kMenuCommands[] = {"enable",  "disable", "",    "snapshot",
                                                "restore", "",        "show"};

// Makes the folders of the table under `base` and returns the manifest that
// watches them: manual, automatic, without a mode, "Manual" (not manual), paused.
inline std::string makeMenuTableRoots(const std::string& base) {
  for (const char* dir : {"outside", "manual/sub", "auto/sub", "nomode", "other", "paused/sub"}) {
    std::filesystem::create_directories(base + "/" + dir);
  }
  auto root = [&](const char* name, bool paused, const char* mode) {
    return std::string(R"({"path":")") + base + "/" + name + R"(","isPaused":)" +
           (paused ? "true" : "false") + (mode ? std::string(R"(,"mode":")") + mode + "\"" : "") +
           "}";
  };
  return R"({"version":1,"publishedAt":"2025-03-14T09:26:53Z","roots":[)" +
         root("manual", false, "manual") + "," + root("auto", false, "automatic") + "," +
         root("nomode", false, nullptr) + "," + root("other", false, "Manual") + "," +
         root("paused", true, "manual") + "]}";
}

}  // namespace tarvine::testing
