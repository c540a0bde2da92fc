// The extension's principal class driven as the Finder drives it, on GNUstep's
// AppKit: made by the host, asked for menus of every kind, its items' actions
// sent through NSApplication. Only the Finder's side and the Apple services
// GNUstep lacks are doubles (macos/linux-check/FinderDoubles.h). Run from a
// GNUstep bundle laid out around the executable, with the real Info.plist,
// strings and image, and with an X display for AppKit.

#import <AppKit/AppKit.h>

#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#import "FinderDoubles.h"
#import "macos/FinderSync.h"
#include "requests/BookmarkMinter.h"
#include "requests/RequestSubmitter.h"
#include "shared/Identifiers.h"
#include "tests/extension/MenuTable.h"

namespace tarvine::apple {
namespace {

namespace fs = std::filesystem;

// The group that the check wrote into the extension's Info.plist, for a team
// other than the default: only the Info.plist can bring it to the class.
const std::string kGroup = [] {
  const char* group = std::getenv("TARVINE_CHECK_APP_GROUP");
  return std::string(group != nullptr ? group : "");
}();

std::string text(NSString* string) { return string != nil ? [string UTF8String] : ""; }
NSString* ns(const std::string& text) { return [NSString stringWithUTF8String:text.c_str()]; }

// The core test's one-line form, read off the AppKit objects, except that a
// top-level item with a submenu shows as "opens": the Finder opens it and
// sends no action of its own.
std::string describe(NSMenu* menu) {
  if ([menu numberOfItems] == 0) return "empty";
  NSMenuItem* top = [menu itemAtIndex:0];
  std::string out = [top submenu] != nil      ? "opens"
                    : [top action] != nullptr ? text(NSStringFromSelector([top action]))
                                              : "none";
  NSMenu* sub = [top submenu];
  for (NSInteger i = 0; i < [sub numberOfItems]; ++i) {
    NSMenuItem* entry = [sub itemAtIndex:i];
    if ([entry isSeparatorItem]) continue;
    out += std::string(" ") + testing::kMenuCommands[i] + ([entry isEnabled] ? "+" : "-");
    if (i == 0) out += [entry state] == NSControlStateValueOn ? "(on)" : "(off)";
  }
  return out;
}

// A row of the core's table as the Finder shows it: its top-level action never sent.
std::string shown(const std::string& menu) {
  return menu == "empty" ? menu : "opens" + menu.substr(menu.find(' '));
}

// What the spool holds: each request's kind and target, and its bookmark.
std::vector<std::string> spool(const std::string& container) {
  std::vector<std::string> requests;
  if (!fs::exists(container + "/requests")) return requests;
  for (const auto& file : fs::directory_iterator(container + "/requests")) {
    std::ifstream in(file.path());
    auto json = nlohmann::json::parse(in);
    std::string line =
        json.at("kind").get<std::string>() + " " + json.at("target").get<std::string>();
    if (json.contains("bookmark")) line += " +bookmark";
    requests.push_back(line);
  }
  std::sort(requests.begin(), requests.end());
  return requests;
}

class FinderSyncClassTest : public ::testing::Test {
 protected:
  FinderSyncClassTest() {
    char pattern[] = "/tmp/tarvine-finder-XXXXXX";
    dir = ::mkdtemp(pattern);
    base = dir + "/home";
    container = dir + "/" + kGroup;
    fs::create_directories(container);
    std::ofstream(container + "/roots.json") << testing::makeMenuTableRoots(base);
    doubles::reset();
    doubles::system().containers[kGroup] = container;
    doubles::system().running.insert("com.quillfen.tarvine");
  }
  ~FinderSyncClassTest() override {
    doubles::reset();
    fs::remove_all(dir);
  }

  // As the Finder reports items: a folder's URL ends in a slash, a file's
  // not. (GNUstep's fileURLWithPath:isDirectory: adds the slash for any
  // existing folder, so the text is spelled out.)
  NSURL* at(const std::string& relative, bool isDirectory) {
    return [NSURL URLWithString:ns("file://" + base + relative + (isDirectory ? "/" : ""))];
  }
  // The menu the Finder shows for one selected item: its copy of the class's.
  NSMenu* menuFor(::FinderSync* finder, const std::string& relative, bool isDirectory,
                  FIMenuKind kind = FIMenuKindContextualMenuForItems) {
    doubles::select(@[ at(relative, isDirectory) ], nil);
    return doubles::finderCopy([finder menuForMenuKind:kind], finder);
  }
  // Clicks an item of the Finder's copy as the Finder delivers it, with
  // whatever the extension writes to the system log captured.
  std::string click(NSMenuItem* item) {
    fflush(stderr);
    const int saved = ::dup(2);
    const std::string log = dir + "/log";
    FILE* capture = std::fopen(log.c_str(), "w");
    ::dup2(::fileno(capture), 2);
    const bool sent = doubles::finderClick(item);
    fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    std::fclose(capture);
    EXPECT_TRUE(sent) << text([item title]);
    std::stringstream lines;
    lines << std::ifstream(log).rdbuf();
    return lines.str();
  }

  std::string dir, base, container;
};

TEST_F(FinderSyncClassTest, RegistersTheHomeAndGivesTheMenuOfEveryRow) {
  @autoreleasepool {
    ::FinderSync* finder = [[[::FinderSync alloc] init] autorelease];
    ASSERT_EQ(doubles::finder().registeredScopes.size(), 1u);
    const passwd* user = ::getpwuid(::getuid());
    EXPECT_EQ(doubles::finder().registeredScopes[0],
              std::vector<std::string>{"file://" + std::string(user->pw_dir) + "/"});
    // No toolbar item: the Finder asks for these only when the class has them.
    for (SEL toolbar :
         { @selector(toolbarItemName), @selector(toolbarItemImage), @selector(toolbarItemToolTip) })
      EXPECT_FALSE([finder respondsToSelector:toolbar]) << text(NSStringFromSelector(toolbar));

    for (const testing::MenuRow& row : testing::kMenuTable) {
      EXPECT_EQ(describe(menuFor(finder, row.item, row.isDirectory,
                                 FIMenuKind(static_cast<std::uint64_t>(row.kind)))),
                shown(row.menu))
          << row.item << (row.isDirectory ? "/" : "") << " kind "
          << static_cast<std::uint64_t>(row.kind);
    }
    // The folder a window shows, when nothing is selected.
    doubles::select(nil, at("/paused", true));
    EXPECT_EQ(describe(doubles::finderCopy(
                  [finder menuForMenuKind:FIMenuKindContextualMenuForContainer], finder)),
              "opens enable+(off) disable- snapshot- restore- show+");
    // No menu while the application is not running, or from a container
    // without the manifest (a Mac names one even for a group it refuses).
    doubles::system().running.clear();
    EXPECT_EQ(describe(menuFor(finder, "/manual", true)), "empty");
    doubles::system().running.insert("com.quillfen.tarvine");
    doubles::system().containers.clear();
    EXPECT_EQ(describe(menuFor(finder, "/manual", true)), "empty");
    // The team's group, from the Info.plist, and not the core's default.
    EXPECT_EQ(doubles::system().containerLookups.back(), kGroup);
    EXPECT_NE(kGroup, Identifiers::defaultAppGroupIdentifier);
  }
}

// The class's own menu, before the Finder copies what it uses of it.
TEST_F(FinderSyncClassTest, TheMenuIsWhatAppKitShows) {
  @autoreleasepool {
    ::FinderSync* finder = [[[::FinderSync alloc] init] autorelease];
    doubles::select(@[ at("/manual", false) ], nil);
    NSMenu* menu = [finder menuForMenuKind:FIMenuKindContextualMenuForItems];
    EXPECT_EQ(text([menu title]), "");
    ASSERT_EQ([menu numberOfItems], 1);
    NSMenuItem* top = [menu itemAtIndex:0];
    EXPECT_EQ(text([top title]), "History");  // from the bundle's strings
    // The Finder would never send it: the item only opens its submenu, so
    // none of this object's actions is set on it.
    EXPECT_NE([top target], finder);
    EXPECT_FALSE([finder respondsToSelector:[top action]]);
    EXPECT_TRUE([top isEnabled]);
    ASSERT_NE([top image], nil);
    // BrandGlyph is 33 x 32: 16 points high, 16.5 wide rounded away from zero.
    EXPECT_EQ([[top image] size].width, 17);
    EXPECT_EQ([[top image] size].height, 16);
    EXPECT_FALSE([[top image] isTemplate]);
    EXPECT_EQ(doubles::system().templates.count([top image]), 1u);

    NSMenu* sub = [top submenu];
    ASSERT_NE(sub, nil);
    EXPECT_FALSE([sub autoenablesItems]);
    ASSERT_EQ([sub numberOfItems], 7);
    const char* titles[] = {"Enable History",    "Disable History",          "",
                            "Snapshot Now",      "Restore Previous Version", "",
                            "Show History\u2026"};
    for (NSInteger i = 0; i < 7; ++i) {
      NSMenuItem* entry = [sub itemAtIndex:i];
      EXPECT_EQ([entry isSeparatorItem] == YES, titles[i][0] == '\0') << i;
      if ([entry isSeparatorItem]) continue;
      EXPECT_EQ(text([entry title]), titles[i]);
      EXPECT_EQ(text([entry keyEquivalent]), "");
      EXPECT_EQ([entry submenu], nil);
      EXPECT_EQ([entry image], nil);
      // An enabled entry reaches this object; a disabled one sends nothing.
      if ([entry isEnabled]) {
        EXPECT_EQ([entry target], finder) << titles[i];
        EXPECT_TRUE([finder respondsToSelector:[entry action]]) << titles[i];
      } else {
        EXPECT_EQ([entry action], nullptr) << titles[i];
      }
    }
  }
}

TEST_F(FinderSyncClassTest, EachActionWritesItsRequestAndWakesAsItShould) {
  @autoreleasepool {
    ::FinderSync* finder = [[[::FinderSync alloc] init] autorelease];
    const std::string app =
        fs::canonical("/proc/self/exe").parent_path().parent_path().parent_path().parent_path();

    NSMenu* manual = menuFor(finder, "/manual", true);
    // The top-level item opens the submenu and sends nothing.
    EXPECT_FALSE(doubles::finderClick([manual itemAtIndex:0]));
    EXPECT_TRUE(spool(container).empty());
    NSMenu* sub = [[manual itemAtIndex:0] submenu];
    EXPECT_EQ(click([sub itemAtIndex:1]), "");  // disable
    EXPECT_EQ(click([sub itemAtIndex:3]), "");  // snapshot
    EXPECT_TRUE(doubles::system().opened.empty());
    EXPECT_EQ(click([sub itemAtIndex:6]), "");  // show history
    EXPECT_EQ(doubles::system().opened, std::vector<std::string>{app + " activates"});

    // For a file inside a root, both show and restore apply to the file.
    NSMenu* fileMenu = [[menuFor(finder, "/auto/a.txt", false) itemAtIndex:0] submenu];
    click([fileMenu itemAtIndex:6]);
    click([fileMenu itemAtIndex:4]);

    // As on a Mac, the Finder gives no access to the folder, so no bookmark
    // is made: the request goes without one and says so in the log.
    NSMenu* outside = [[menuFor(finder, "/outside", true) itemAtIndex:0] submenu];
    const std::string refused = click([outside itemAtIndex:0]);
    EXPECT_NE(refused.find(std::string(BookmarkMinter::failedLine)), std::string::npos) << refused;
    // Where the system does make one, it travels with the request.
    doubles::system().grantsBookmarks = true;
    NSMenu* paused = [[menuFor(finder, "/paused", true) itemAtIndex:0] submenu];
    const std::string minted = click([paused itemAtIndex:0]);
    EXPECT_NE(minted.find(std::string(BookmarkMinter::mintedLine)), std::string::npos) << minted;
    EXPECT_EQ(doubles::system().opened.size(), 5u);

    EXPECT_EQ(spool(container), (std::vector<std::string>{
                                    "disableHistory " + base + "/manual",
                                    "enableHistory " + base + "/outside",
                                    "enableHistory " + base + "/paused +bookmark",
                                    "restorePrevious " + base + "/auto/a.txt",
                                    "showHistory " + base + "/auto/a.txt",
                                    "showHistory " + base + "/manual",
                                    "snapshotNow " + base + "/manual",
                                }));
    for (const std::string folder : {"/outside", "/paused"}) {
      EXPECT_NE(std::find(doubles::system().scopeEvents.begin(),
                          doubles::system().scopeEvents.end(), "bookmark " + base + folder),
                doubles::system().scopeEvents.end())
          << folder;
    }
  }
}

// A Mac gives a container URL even where the extension may not write (another
// team's group, a folder it cannot make): a command then writes no request
// file, whole or partial, and its failure is dropped without a word; Show,
// Enable and Restore still bring the application forward, as they do when the
// spool cannot be made on any platform.
TEST_F(FinderSyncClassTest, AnUnwritableContainerWritesNothingAndWakesAsTheCommandSays) {
  @autoreleasepool {
    ::FinderSync* finder = [[[::FinderSync alloc] init] autorelease];
    const std::string plainFile = dir + "/plain";
    std::ofstream(plainFile) << "not a folder";
    NSMenu* manual = [[menuFor(finder, "/manual", true) itemAtIndex:0] submenu];
    NSMenu* outside = [[menuFor(finder, "/outside", true) itemAtIndex:0] submenu];
    // Where the spool cannot be made.
    const struct {
      std::string container;
      const char* why;
    } cases[] = {
        {container, "its requests folder is a plain file"},
        {plainFile + "/" + kGroup, "the container would be inside a plain file"},
    };
    std::ofstream(container + "/requests") << "a plain file";
    const std::string refused(BookmarkMinter::failedLine);
    for (const auto& c : cases) {
      doubles::system().containers[kGroup] = c.container;
      for (NSInteger entry : {1, 3, 6}) {  // disable, snapshot, show
        doubles::select(@[ at("/manual", true) ], nil);
        EXPECT_EQ(click([manual itemAtIndex:entry]), "") << c.why << " " << entry;
      }
      // Enable: only the bookmark's own line, as the bookmark is refused.
      doubles::select(@[ at("/outside", true) ], nil);
      const std::string logged = click([outside itemAtIndex:0]);
      EXPECT_NE(logged.find(refused), std::string::npos) << c.why;
      EXPECT_EQ(std::count(logged.begin(), logged.end(), '\n'), 1) << logged;
    }
    // Show and Enable, in each case.
    EXPECT_EQ(doubles::system().opened.size(), 4u);
    std::ifstream spoolFile(container + "/requests");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(spoolFile), {}), "a plain file");
    EXPECT_FALSE(fs::exists(plainFile + "/" + kGroup));
    // Nothing else written anywhere: no temporary file, no folder.
    std::set<std::string> names;
    for (const auto& file : fs::directory_iterator(container)) names.insert(file.path().filename());
    EXPECT_EQ(names, (std::set<std::string>{"requests", "roots.json"}));
  }
}

// Running out of memory inside a command must not unwind into the Finder's
// call: the command is dropped, and the next one still gets through.
TEST_F(FinderSyncClassTest, AnExceptionInACommandStaysInTheExtension) {
  @autoreleasepool {
    ::FinderSync* finder = [[[::FinderSync alloc] init] autorelease];
    NSMenu* outside = [[menuFor(finder, "/outside", true) itemAtIndex:0] submenu];
    doubles::system().bookmarkThrows = true;
    EXPECT_NO_THROW(click([outside itemAtIndex:0]));
    EXPECT_TRUE(spool(container).empty());
    doubles::system().bookmarkThrows = false;
    click([[[menuFor(finder, "/manual", true) itemAtIndex:0] submenu] itemAtIndex:3]);
    EXPECT_EQ(spool(container), std::vector<std::string>{"snapshotNow " + base + "/manual"});
  }
}

// The Finder makes more instances for Open and Save panels and frees them in
// any order: one gone, the next must still reach its own services.
TEST_F(FinderSyncClassTest, ALaterInstanceWorksAfterTheFirstIsFreed) {
  @autoreleasepool {
    ::FinderSync* first = [[::FinderSync alloc] init];
    EXPECT_NE(describe(menuFor(first, "/manual", true)), "empty");
    [first release];
    ::FinderSync* second = [[::FinderSync alloc] init];
    NSMenu* menu = menuFor(second, "/manual", true);
    EXPECT_EQ(describe(menu), "opens enable-(on) disable+ snapshot+ restore- show+");
    click([[[menu itemAtIndex:0] submenu] itemAtIndex:6]);
    EXPECT_EQ(spool(container), std::vector<std::string>{"showHistory " + base + "/manual"});
    [second release];
  }
}

}  // namespace
}  // namespace tarvine::apple

int main(int argc, char** argv) {
  @autoreleasepool {
    // AppKit's menus need the shared application, which needs the display.
    [NSApplication sharedApplication];
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
