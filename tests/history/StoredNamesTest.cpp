#include "history/StoredNames.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <set>

#include "tests/history/StoreFixture.h"

namespace tarvine::history {
namespace {

namespace fs = std::filesystem;

// Names git refuses in a tree or reads as its own, as Windows and macOS would
// spell them too, and names beside them that must stay as they are.
const std::map<std::string, std::string> kEscapes = {
    {"notes.txt", "notes.txt"},
    {".git", ".git~"},
    {".GiT", ".GiT~"},
    {".git~", ".git~~"},  // as every earlier store has it
    {".git~~", ".git~~~"},
    {".git.", ".git.~"},
    {".git. .", ".git. .~"},
    {".git ", ".git ~"},
    {"git~1", "git~1~"},
    {"GIT~1.", "GIT~1.~"},
    {"git~2", "git~2"},
    {".g\u200cit", ".g\u200cit~"},
    {".git\ufeff", ".git\ufeff~"},
    {"\u200e.GIT", "\u200e.GIT~"},
    {".git:stream", ".git~:stream"},
    {".git::$INDEX_ALLOCATION", ".git~::$INDEX_ALLOCATION"},
    {"a:.git", "a:.git"},
    {"a\\.git", "a\\.git~"},
    {".git\\b", ".git~\\b"},
    {"a\\git~1\\.git", "a\\git~1~\\.git~"},
    {".git\xff", ".git~\xff"},
    {".git\xc0\x80", ".git~\xc0\x80"},
    {".gitmodules", ".gitmodules~"},
    {".GitModules. ", ".GitModules. ~"},
    {".gitmodules:x", ".gitmodules~:x"},
    {"gitmod~1", "gitmod~1~"},
    {"GITMOD~4", "GITMOD~4~"},
    {"gitmod~5", "gitmod~5"},
    {"gi7eba~9", "gi7eba~9~"},
    {"gi7eb~12", "gi7eb~12~"},
    {"~1234567", "~1234567~"},
    {".gitattributes", ".gitattributes~"},
    {"gitatt~2", "gitatt~2~"},
    {"gi7d29~1", "gi7d29~1~"},
    {".gitignore", ".gitignore"},
    {".mailmap", ".mailmap"},
    {".gitx", ".gitx"},
    {".git.x", ".git.x"},
    {"x.git", "x.git"},
    {"~", "~"},
    {"\\", "\\"},
    {":", ":"},
};

TEST(StoredNamesTest, NamesGitRefusesAreEscapedAndReadBack) {
  for (const auto& [real, stored] : kEscapes) {
    EXPECT_EQ(storedName(real), stored) << real;
    EXPECT_EQ(realName(stored), real) << stored;
  }
  EXPECT_EQ(storedPath({".git", "a", ".gitmodules"}), ".git~/a/.gitmodules~");
}

// Every spelling of git's own names with what may follow them: the names a
// store must take, each read back as itself and none stored as another.
std::vector<std::string> awkwardNames() {
  const std::vector<std::string> starts = {"", "a\\", "\xe2\x80\x8c", "x:"};
  const std::vector<std::string> words = {".git",     ".GIT",       "git~1",     ".gitmodules",
                                          "gitmod~1", "gi7eba~1",   "~1234567",  ".gitattributes",
                                          "gitatt~3", ".g\u200cit", ".gitignore"};
  const std::vector<std::string> ends = {"",    ".",    " ",      "~",    "~~",     ":x",
                                         "\\y", "\xff", "\u200c", ". :z", "\\.git", "\xe2\x80"};
  std::vector<std::string> names;
  for (const auto& start : starts) {
    for (const auto& word : words) {
      for (const auto& end : ends) names.push_back(start + word + end);
    }
  }
  return names;
}

TEST(StoredNamesTest, EveryEscapeReadsBackAndNoTwoNamesShareOne) {
  std::set<std::string> stored;
  for (const std::string& name : awkwardNames()) {
    EXPECT_EQ(realName(storedName(name)), name) << name;
    EXPECT_TRUE(stored.insert(storedName(name)).second) << name;
  }
}

class StoredNamesStoreTest : public testing::StoreTest {};

TEST_F(StoredNamesStoreTest, StockGitChecksOutTheStoreAndEveryNameComesBackAsItWas) {
  std::map<std::string, std::string> files;  // real name: content
  for (const auto& [real, stored] : kEscapes) files[real] = "file " + stored;
  for (const std::string& name : awkwardNames()) files["awkward/" + name] = name;
  // Content git would check, and attributes it would apply at checkout.
  files[".gitmodules"] = "[submodule \"../../x\"]\n\tpath = x\n\turl = -u./payload\n";
  files[".gitattributes"] = "* text eol=crlf\n" + std::string(3000, 'x') + " binary\n";
  files["lf.txt"] = "one\ntwo\n";
  for (const auto& [name, content] : files) write(name, content);
  // Links and folders of those names, which git refuses outright.
  const std::map<std::string, std::string> links = {{"links/.gitmodules", "target"},
                                                    {"links/gitmod~1", "target"},
                                                    {"links/.gitattributes", "../lf.txt"},
                                                    {"links/.gitignore", "target"}};
  for (const auto& [name, target] : links) {
    fs::create_directories(fs::path(root + "/" + name).parent_path());
    fs::create_symlink(target, root + "/" + name);
  }
  for (const std::string folder : {"dirs/.gitmodules", "dirs/.gitattributes", "dirs/.git."}) {
    files[folder + "/inside"] = folder;
    write(folder + "/inside", folder);
  }
  const Snapshot first = snap();
  ASSERT_FALSE(first.id.empty());
  ASSERT_TRUE(first.skipped.empty()) << first.skipped.front().path;

  git("fsck --strict --no-dangling");
  const std::string checkout = tmp.path() + "/checkout";
  const Run cloned = shell("git clone -q " + repository + " " + checkout);
  EXPECT_EQ(cloned.status, 0) << cloned.output;
  EXPECT_EQ(read(checkout + "/lf.txt"), "one\ntwo\n");  // no attributes of the user's applied
  EXPECT_EQ(shell("git --git-dir=" + repository + " archive HEAD > /dev/null").status, 0);

  // Gone from the folder, every name comes back as itself.
  for (const auto& entry : fs::directory_iterator(root)) fs::remove_all(entry.path());
  auto restored = history->restore("", first.id);
  ASSERT_TRUE(restored.ok()) << restored.status().message();
  for (const auto& [name, content] : files) {
    EXPECT_EQ(read(root + "/" + name), content) << name;
    EXPECT_EQ(versionOf(first.id, name), content) << name;
  }
  for (const auto& [name, target] : links) {
    std::error_code error;
    EXPECT_EQ(fs::read_symlink(root + "/" + name, error), target) << name;
  }
  auto listed = history->files(first.id, "awkward");
  ASSERT_TRUE(listed.ok());
  std::set<std::string> names;
  for (const VersionFile& file : *listed) names.insert(file.path);
  const auto awkward = awkwardNames();
  EXPECT_EQ(names, std::set<std::string>(awkward.begin(), awkward.end()));
}

TEST_F(StoredNamesStoreTest, AStoreMadeBeforeTheFullEscapeKeepsItsNaming) {
  // A snapshot as an earlier version wrote it, made here with stock git:
  // only ".git" escaped, and no naming recorded in the store.
  const std::map<std::string, std::string> files = {{".gitattributes", "the rules\n"},
                                                    {".gitattributes~", "an editor's backup\n"},
                                                    {".gitmodules", "modules\n"},
                                                    {".git", "a file named .git\n"}};
  std::string tree;
  for (const auto& [name, content] : files) {
    write("staged", content);
    const std::string blob = git("hash-object -w " + root + "/staged");
    tree += "100644 blob " + blob.substr(0, blob.size() - 1) + "\t" +
            (name == ".git" ? ".git~" : name) + "\n";
  }
  std::filesystem::remove(root + "/staged");
  write("other.txt", "not in that snapshot");  // an emptied root looks unmounted
  write("../tree.txt", tree);
  std::string id = git("mktree < " + tmp.path() + "/tree.txt");
  id = git("commit-tree -m 'manual snapshot' " + id.substr(0, id.size() - 1));
  id.pop_back();
  git("update-ref HEAD " + id);
  git("config --unset tarvine.names");
  ASSERT_NO_FATAL_FAILURE(reopen());

  auto listed = history->files(id, "");
  ASSERT_TRUE(listed.ok());
  std::set<std::string> names;
  for (const VersionFile& file : *listed) names.insert(file.path);
  EXPECT_EQ(names,
            (std::set<std::string>{".git", ".gitattributes", ".gitattributes~", ".gitmodules"}));
  // The backup is never read, nor restored, as the file it was named after.
  ASSERT_TRUE(history->restore("", id).ok());
  for (const auto& [name, content] : files) {
    EXPECT_EQ(read(root + "/" + name), content) << name;
    EXPECT_EQ(versionOf(id, name), content) << name;
  }
  // Later snapshots of that store name things as it always did.
  write(".gitattributes", "changed\n");
  snap();
  auto versions = history->versions(".gitattributes");
  ASSERT_TRUE(versions.ok());
  ASSERT_FALSE(versions->empty());
  EXPECT_EQ(versionOf(versions->front().id, ".gitattributes"), "changed\n");
  EXPECT_EQ(versionOf(versions->front().id, ".gitattributes~"), "an editor's backup\n");
}

}  // namespace
}  // namespace tarvine::history
