#include "requests/RequestSubmitter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <set>

#include "extension/FinderSync.h"
#include "tests/support/FakeServices.h"
#include "tests/support/TempDir.h"

namespace tarvine {
namespace {

namespace fs = std::filesystem;
using testing::FakeServices;
using Kind = HistoryRequest::Kind;

constexpr const char* kMinted = "Tarvine: extension minted a bookmark for the clicked folder";
constexpr const char* kNotMinted =
    "Tarvine: extension could not mint a bookmark; the app will ask instead";

struct Command {
  Selector selector;
  Kind kind;
  bool bookmark;
  bool wakes;
};
const Command kCommands[] = {
    {Selector::showHistory, Kind::showHistory, false, true},
    {Selector::enableHistory, Kind::enableHistory, true, true},
    {Selector::disableHistory, Kind::disableHistory, false, false},
    {Selector::snapshotNow, Kind::snapshotNow, false, false},
    {Selector::restorePrevious, Kind::restorePrevious, false, true},
};

class RequestSubmitterTest : public ::testing::Test {
 protected:
  RequestSubmitterTest() {
    fs::create_directory(container());
    env.host.selection = std::vector<FileURL>{FileURL::fromPath("/Users/a/Docs", true)};
  }

  std::string container() const { return tmp.file("QF7T2K9M4R.com.quillfen.tarvine"); }
  std::string spool() const { return container() + "/requests"; }

  std::vector<std::string> spoolNames() const {
    std::vector<std::string> names;
    if (!fs::is_directory(spool())) return names;
    for (const auto& entry : fs::directory_iterator(spool()))
      names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  HistoryRequest onlyRequest() {
    auto names = spoolNames();
    EXPECT_EQ(names.size(), 1u);
    if (names.empty()) return {};
    auto decoded =
        HistoryRequest::decode(tmp.read("QF7T2K9M4R.com.quillfen.tarvine/requests/" + names[0]));
    EXPECT_TRUE(decoded.ok()) << decoded.status().message();
    EXPECT_EQ(names[0], decoded->id + ".json");
    return decoded.ok() ? *decoded : HistoryRequest{};
  }

  testing::TempDir tmp;
  FakeServices env{tmp.path()};
  Identifiers ids{env.bundle, env.fileSystem};
  FinderSync extension{env.services(), ids};
};

TEST_F(RequestSubmitterTest, EveryCommandWritesItsRequestAndWakesAsItsRowSays) {
  for (const Command& c : kCommands) {
    fs::remove_all(spool());
    env.workspace.opened.clear();
    env.log.lines.clear();
    extension.perform(c.selector);

    HistoryRequest request = onlyRequest();
    EXPECT_EQ(request.version, 1);
    EXPECT_EQ(request.kind, c.kind);
    EXPECT_EQ(request.target, "/Users/a/Docs");
    EXPECT_EQ(request.createdAt, Timestamp::fromUnix(env.clock.time.seconds()));
    EXPECT_EQ(request.id.size(), 36u);
    EXPECT_EQ(request.bookmark.has_value(), c.bookmark);
    if (c.bookmark) {
      EXPECT_EQ(request.bookmark, env.bookmarks.bookmark);
    }
    EXPECT_EQ(env.log.lines,
              c.bookmark ? std::vector<std::string>{kMinted} : std::vector<std::string>{});
    if (c.wakes) {
      EXPECT_EQ(env.workspace.opened,
                std::vector<FileURL>{FileURL::fromPath("/Applications/Tarvine.app", true)});
      EXPECT_EQ(env.workspace.activated.back(), true);
    } else {
      EXPECT_TRUE(env.workspace.opened.empty()) << selectorName(c.selector);
    }
  }
}

TEST_F(RequestSubmitterTest, EnableRunsItsStepsInOrder) {
  env.fileSystem.journal = &env.journal;
  env.journal.clear();
  extension.enableHistory();
  const std::string spoolDir = spool() + "/";
  std::vector<std::string> expected = {
      "now",
      "start /Users/a/Docs",
      "bookmark /Users/a/Docs",
      std::string("log ") + kMinted,
      "stop /Users/a/Docs",
      "uuid",
      "mkdir " + spoolDir,
      "write " + spoolDir + onlyRequest().id + ".json",
      "open /Applications/Tarvine.app/",
  };
  EXPECT_EQ(env.journal, expected);
}

TEST_F(RequestSubmitterTest, TheFileIsCompleteBeforeTheWakeUp) {
  std::vector<std::string> seen;
  env.workspace.onOpen = [&] { seen = spoolNames(); };
  extension.showHistory();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen, spoolNames());
}

TEST_F(RequestSubmitterTest, NoTargetOrNoContainerWritesAndWakesNothing) {
  env.host.selection.reset();
  for (const Command& c : kCommands) extension.perform(c.selector);
  // A path that is not UTF-8 (legal on Linux) has no form in a request: no
  // target either, rather than a wake-up for a request that never comes.
  env.host.selection = std::vector<FileURL>{FileURL::fromPath("/Users/a/\xFF", true)};
  for (const Command& c : kCommands) extension.perform(c.selector);
  env.host.selection = std::vector<FileURL>{FileURL::fromPath("/Users/a/Docs", true)};
  env.fileSystem.faults.container = std::optional<FileURL>();
  for (const Command& c : kCommands) extension.perform(c.selector);
  EXPECT_TRUE(spoolNames().empty());
  EXPECT_TRUE(env.workspace.opened.empty());
  EXPECT_TRUE(env.log.lines.empty());
  EXPECT_TRUE(env.bookmarks.events.empty());
}

TEST_F(RequestSubmitterTest, UnusableSpoolStillWakesForTheCommandsThatWake) {
  tmp.write("QF7T2K9M4R.com.quillfen.tarvine/requests", "a plain file");
  for (const Command& c : kCommands) extension.perform(c.selector);
  EXPECT_EQ(tmp.read("QF7T2K9M4R.com.quillfen.tarvine/requests"), "a plain file");
  EXPECT_EQ(env.workspace.opened.size(), 3u);
  EXPECT_EQ(env.log.lines, std::vector<std::string>{kMinted});
}

TEST_F(RequestSubmitterTest, FullDiskLeavesNoFileAndStillWakes) {
  env.fileSystem.faults.writeError = ENOSPC;
  extension.restorePrevious();
  extension.snapshotNow();
  EXPECT_TRUE(spoolNames().empty());  // the directory exists, empty, with no temporary file
  EXPECT_EQ(env.workspace.opened.size(), 1u);
}

TEST_F(RequestSubmitterTest, BookmarkFailuresAndAccessAnswers) {
  env.bookmarks.bookmark.reset();
  extension.enableHistory();
  EXPECT_FALSE(onlyRequest().bookmark);
  EXPECT_EQ(env.log.lines, std::vector<std::string>{kNotMinted});
  EXPECT_EQ(env.bookmarks.events.back(), "stop /Users/a/Docs");  // access is still stopped
  EXPECT_EQ(env.workspace.opened.size(), 1u);

  fs::remove_all(spool());
  env.bookmarks.events.clear();
  env.bookmarks.grantsAccess = false;
  env.bookmarks.bookmark = Data{9, 9};
  extension.enableHistory();
  EXPECT_EQ(onlyRequest().bookmark, (Data{9, 9}));
  EXPECT_EQ(env.bookmarks.events,
            (std::vector<std::string>{"start /Users/a/Docs", "bookmark /Users/a/Docs"}));
}

TEST_F(RequestSubmitterTest, TargetIsThePathAsReported) {
  auto targetFor = [&](const std::string& path, bool isDirectory) {
    fs::remove_all(spool());
    env.host.selection = std::vector<FileURL>{FileURL::fromPath(path, isDirectory)};
    extension.snapshotNow();
    return onlyRequest().target;
  };
  EXPECT_EQ(targetFor("/Users/a/../b/./c", true), "/Users/a/../b/./c");
  EXPECT_EQ(targetFor("/Users/a/Docs/", false), "/Users/a/Docs");
  EXPECT_EQ(targetFor("/", true), "/");
  EXPECT_EQ(targetFor("/Users/a/My Docs/caf\xC3\xA9", false), "/Users/a/My Docs/caf\xC3\xA9");
}

TEST_F(RequestSubmitterTest, RequestsAccumulateAndExistingFilesAreLeftAlone) {
  tmp.write("QF7T2K9M4R.com.quillfen.tarvine/requests/OLD.json", "kept");
  env.host.selection = std::vector<FileURL>{FileURL::fromPath("/Users/a/One", true),
                                            FileURL::fromPath("/Users/a/Two", true)};
  extension.showHistory();
  extension.showHistory();
  auto names = spoolNames();
  ASSERT_EQ(names.size(), 3u);
  EXPECT_EQ(tmp.read("QF7T2K9M4R.com.quillfen.tarvine/requests/OLD.json"), "kept");
  std::set<std::string> targets;
  for (const auto& name : names) {
    if (name == "OLD.json") continue;
    EXPECT_EQ(name.size(), 41u);
    targets.insert(
        HistoryRequest::decode(tmp.read("QF7T2K9M4R.com.quillfen.tarvine/requests/" + name))
            ->target);
  }
  EXPECT_EQ(targets, std::set<std::string>{"/Users/a/One"});
}

TEST_F(RequestSubmitterTest, PythonReadsEveryRequestFile) {
  for (const Command& c : kCommands) extension.perform(c.selector);
  std::string command =
      std::string(TARVINE_PYTHON3) +
      " -c 'import json,os,sys; d=sys.argv[1];"
      " print(sorted((json.load(open(os.path.join(d,n)))[\"kind\"],"
      " \"bookmark\" in json.load(open(os.path.join(d,n)))) for n in os.listdir(d)))' " +
      spool();
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char buffer[512] = {};
  std::string output;
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  ASSERT_EQ(::pclose(pipe), 0);
  EXPECT_EQ(output,
            "[('disableHistory', False), ('enableHistory', True), ('restorePrevious', False), "
            "('showHistory', False), ('snapshotNow', False)]\n");
}

TEST(MainAppLauncherTest, TheApplicationIsThreeComponentsAboveTheExtension) {
  testing::FakeBundle bundle;
  testing::FakeWorkspace workspace;
  bundle.url = FileURL::fromPath("/A/Main.app/Contents/PlugIns/Ext.appex", true);
  MainAppLauncher launcher(bundle, workspace);
  EXPECT_EQ(launcher.mainApplicationURL(), FileURL::fromPath("/A/Main.app", true));
  launcher.wakeMainApplication();
  EXPECT_EQ(workspace.opened, std::vector<FileURL>{FileURL::fromPath("/A/Main.app", true)});
}

}  // namespace
}  // namespace tarvine
