// Mirrors pushed to a bare repository in another folder (the "disk"), read
// back with stock git.
#include "history/Mirror.h"

#include <signal.h>
#include <sys/wait.h>

#include <ctime>
#include <random>

#include "history/MirrorSsh.h"
#include "history/MirrorTips.h"
#include "history/Thinning.h"
#include "tests/history/StoreFixture.h"

namespace tarvine::history::testing {
namespace {

class MirrorTest : public StoreTest {
 protected:
  MirrorTest() : disk(tmp.path() + "/disk"), mirrorPath(disk + "/root.git") {}
  void SetUp() override {
    StoreTest::SetUp();
    std::filesystem::create_directories(disk);
  }
  // Stock git on the mirror; a failure fails the test.
  std::string mirrorGit(const std::string& arguments) {
    const Run run = shell("git --git-dir=" + mirrorPath + " " + arguments);
    EXPECT_EQ(run.status, 0) << "git " << arguments << "\n" << run.output;
    return run.output;
  }
  mirror::Mirror recorded() {
    auto mirrors = mirror::list(repository);
    EXPECT_TRUE(mirrors.ok()) << mirrors.status().message();
    if (!mirrors.ok() || mirrors->size() != 1) return {};
    return mirrors->front();
  }
  std::string disk, mirrorPath;
};

TEST_F(MirrorTest, SendsTheWholeHistoryThenOnlyWhatIsNewAndStockGitFindsItWhole) {
  write("a.txt", "one");
  write("bin/tool", "#!/bin/sh\n");
  std::filesystem::permissions(root + "/bin/tool", std::filesystem::perms::owner_exec,
                               std::filesystem::perm_options::add);
  std::filesystem::create_symlink("a.txt", root + "/link");
  const std::string first = snap().id;
  ASSERT_TRUE(history->pin(first).ok());
  write("a.txt", "two");
  const std::string second = snap().id;

  ASSERT_TRUE(mirror::add(repository, mirrorPath).ok());
  EXPECT_EQ(recorded().unpushed, 2u);
  auto pushed = mirror::push(repository, mirrorPath);
  ASSERT_TRUE(pushed.ok()) << pushed.status().message();
  EXPECT_EQ(pushed->tip, second);
  EXPECT_FALSE(pushed->upToDate);
  mirrorGit("fsck --strict --no-dangling");
  EXPECT_EQ(mirrorGit("rev-parse HEAD"), second + "\n");
  EXPECT_EQ(mirrorGit("rev-parse " + std::string(kPinnedRefs) + first), first + "\n");
  EXPECT_EQ(mirrorGit("cat-file -p HEAD:a.txt"), "two");
  EXPECT_EQ(mirrorGit("ls-tree HEAD link bin/tool").substr(0, 6), "100755");
  EXPECT_NE(mirrorGit("ls-tree HEAD link").find("120000"), std::string::npos);
  EXPECT_EQ(recorded().pushed, second);
  EXPECT_EQ(recorded().unpushed, 0u);
  EXPECT_GT(recorded().pushedAt, 0);

  // One changed file: the next push sends what is new.
  write("a.txt", "three");
  const std::string third = snap().id;
  EXPECT_EQ(recorded().unpushed, 1u);
  ASSERT_TRUE(mirror::push(repository, mirrorPath).ok());
  EXPECT_EQ(mirrorGit("rev-parse HEAD"), third + "\n");
  // The mirror holds the history's objects and its branch's log (a commit,
  // its tree, the log), no more: nothing sent twice, nothing else.
  const Run objects = shell("git --git-dir=" + mirrorPath + " rev-list --objects --all | wc -l");
  EXPECT_EQ(
      std::stoi(objects.output),
      std::stoi(shell("git --git-dir=" + repository + " rev-list --objects --all | wc -l").output) +
          3);
  std::string branch = git("symbolic-ref HEAD");
  branch.pop_back();
  EXPECT_EQ(mirrorGit("cat-file blob " + std::string(mirror::tips::kRef) + ":log"),
            read(repository + "/logs/" + branch));
  // The same log makes the same commit: nothing to send again.
  auto again = mirror::push(repository, mirrorPath);
  ASSERT_TRUE(again.ok());
  EXPECT_TRUE(again->upToDate);
  mirrorGit("fsck --strict --no-dangling");

  // Unpinned here, dropped there.
  ASSERT_TRUE(history->unpin(first).ok());
  ASSERT_TRUE(mirror::push(repository, mirrorPath).ok());
  EXPECT_EQ(mirrorGit("for-each-ref refs/tarvine/pinned/"), "");

  // Removed and added again, the mirror's log is not the one recorded as
  // sent (nothing is recorded); it follows the branch, which is this
  // history's, and is brought up to date with it rather than refused for good.
  ASSERT_TRUE(mirror::remove(repository, mirrorPath).ok());
  ASSERT_TRUE(mirror::add(repository, mirrorPath).ok());
  write("a.txt", "four");
  const std::string fourth = snap().id;
  auto readded = mirror::push(repository, mirrorPath);
  ASSERT_TRUE(readded.ok()) << readded.status().message();
  EXPECT_EQ(mirrorGit("rev-parse HEAD"), fourth + "\n");
  EXPECT_EQ(mirrorGit("cat-file blob " + std::string(mirror::tips::kRef) + ":log"),
            read(repository + "/logs/" + branch));
}

TEST_F(MirrorTest, FollowsThinningOnlyWhileTheMirrorHoldsWhatWasLastSent) {
  std::vector<std::string> ids;
  for (int i = 0; i < 4; ++i) {
    write("f.txt", "version " + std::to_string(i));
    ids.push_back(snap().id);
  }
  ASSERT_TRUE(history->pin(ids[1]).ok());
  ASSERT_TRUE(mirror::add(repository, mirrorPath).ok());
  ASSERT_TRUE(mirror::push(repository, mirrorPath).ok());

  ASSERT_TRUE(history->setRetention(*Retention::parse("all:1d,1d:30d")).ok());
  auto thinned = history->thin(std::time(nullptr) + 3 * 24 * 3600);
  ASSERT_TRUE(thinned.ok()) << thinned.status().message();
  ASSERT_FALSE(thinned->dropped.empty());
  EXPECT_GT(recorded().unpushed, 0u);

  auto pushed = mirror::push(repository, mirrorPath);
  ASSERT_TRUE(pushed.ok()) << pushed.status().message();
  EXPECT_TRUE(pushed->rewritten);
  EXPECT_EQ(mirrorGit("rev-parse HEAD"), thinned->tip + "\n");
  // Every version the history keeps is on the mirror, content for content.
  EXPECT_EQ(mirrorGit("log --format=%T HEAD"), git("log --format=%T HEAD"));
  EXPECT_EQ(mirrorGit("rev-parse " + std::string(kPinnedRefs) + ids[1]), ids[1] + "\n");
  mirrorGit("fsck --strict --no-dangling");

  // Someone else moved the mirror's branch: it is not overwritten.
  std::string theirs =
      mirrorGit("-c user.name=t -c user.email=t@example.org commit-tree -m theirs HEAD^{tree}");
  theirs.pop_back();
  std::string branch = git("symbolic-ref HEAD");
  branch.pop_back();
  mirrorGit("update-ref " + branch + " " + theirs);
  write("f.txt", "mine");
  snap();
  auto refused = mirror::push(repository, mirrorPath);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.status().kind(), Status::Kind::refused) << refused.status().message();
  EXPECT_EQ(mirrorGit("rev-parse HEAD"), theirs + "\n");
  EXPECT_EQ(recorded().failures, 1);
}

// Two pushes cut short in a row, the first after it reached the mirror and
// the second after the local history was thinned: the next still follows
// the thinning, as the mirror holds nothing but this history's snapshots.
TEST_F(MirrorTest, PushesKilledTwiceInARowStillFollowTheThinning) {
  write("f.txt", "zero");
  snap();
  ASSERT_TRUE(mirror::add(repository, mirrorPath).ok());
  ASSERT_TRUE(mirror::push(repository, mirrorPath).ok());
  const auto config = [&](const std::string& name, const std::string& value) {
    git("config -f " + repository + "/tarvine-mirrors tarvine-mirror." + mirrorPath + "." + name +
        " " + value);
  };
  // The first: sent and taken, killed before it was recorded.
  write("f.txt", "one");
  const std::string one = snap().id;
  config("pushing", one);
  shell("git --git-dir=" + repository + " push -q " + mirrorPath + " HEAD");
  ASSERT_EQ(mirrorGit("rev-parse HEAD"), one + "\n");
  // The second, of a thinned history: killed as it began sending.
  write("f.txt", "two");
  snap();
  ASSERT_TRUE(history->setRetention(*Retention::parse("all:1d,1d:30d")).ok());
  ASSERT_TRUE(history->thin(std::time(nullptr) + 3 * 24 * 3600).ok());
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    (void)mirror::push(repository, mirrorPath, [](const mirror::Progress&) { ::_exit(9); });
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 9) << "the push sent nothing";
  ASSERT_EQ(mirrorGit("rev-parse HEAD"), one + "\n");

  auto pushed = mirror::push(repository, mirrorPath);
  ASSERT_TRUE(pushed.ok()) << pushed.status().message();
  EXPECT_TRUE(pushed->rewritten);
  EXPECT_EQ(mirrorGit("rev-parse HEAD"), git("rev-parse HEAD"));
}

TEST_F(MirrorTest, ADiskThatIsNotMountedIsReportedAndCaughtUpLater) {
  write("a.txt", "one");
  snap();
  // Refused where a mirror cannot be made, each for its own reason.
  const struct {
    std::string url;
    Status::Kind kind;
  } refusals[] = {
      {tmp.path() + "/unmounted/root.git", Status::Kind::unavailable},
      {"relative/path", Status::Kind::invalid},
      {root + "/a.txt", Status::Kind::refused},
  };
  for (const auto& refusal : refusals) {
    EXPECT_EQ(mirror::add(repository, refusal.url).kind(), refusal.kind) << refusal.url;
  }
  EXPECT_TRUE(mirror::list(repository)->empty());

  ASSERT_TRUE(mirror::add(repository, mirrorPath).ok());
  EXPECT_EQ(mirror::add(repository, mirrorPath).kind(), Status::Kind::refused);
  ASSERT_TRUE(mirror::push(repository, mirrorPath).ok());
  std::filesystem::rename(disk, tmp.path() + "/elsewhere");  // the disk is unplugged
  write("a.txt", "two");
  const std::string later = snap().id;
  auto away = mirror::push(repository, mirrorPath);
  ASSERT_FALSE(away.ok());
  EXPECT_EQ(away.status().kind(), Status::Kind::unavailable);
  EXPECT_FALSE(std::filesystem::exists(mirrorPath)) << "made again on the mount point's disk";
  EXPECT_EQ(recorded().failures, 1);
  EXPECT_EQ(recorded().unpushed, 1u);
  EXPECT_FALSE(recorded().lastFailure.empty());

  std::filesystem::rename(tmp.path() + "/elsewhere", disk);  // and plugged in again
  ASSERT_TRUE(mirror::push(repository, mirrorPath).ok());
  EXPECT_EQ(mirrorGit("rev-parse HEAD"), later + "\n");
  EXPECT_EQ(recorded().failures, 0);
  EXPECT_EQ(recorded().unpushed, 0u);

  ASSERT_TRUE(mirror::remove(repository, mirrorPath).ok());
  EXPECT_TRUE(mirror::list(repository)->empty());
  EXPECT_EQ(mirror::remove(repository, mirrorPath).kind(), Status::Kind::notFound);
  EXPECT_TRUE(std::filesystem::exists(mirrorPath + "/HEAD")) << "the mirror itself stays";
}

TEST_F(MirrorTest, FetchedBackIntoAnEmptyHistoryWithItsPinsAndChunkedFiles) {
  // A large file kept in chunks: a tree of blobs, sent and read back as any.
  history->setChunkedFileBytes(64 << 10);
  std::mt19937 random(3);
  std::string large(300 << 10, '\0');
  for (char& c : large) c = static_cast<char>(random());
  write("large.bin", large);
  write("a.txt", "one");
  const std::string first = snap().id;
  ASSERT_NE(git("ls-tree HEAD large.bin").find(" tree "), std::string::npos) << "not chunked";
  ASSERT_TRUE(history->pin(first).ok());
  write("a.txt", "two");
  const std::string tip = snap().id;
  ASSERT_TRUE(mirror::add(repository, mirrorPath).ok());
  ASSERT_TRUE(mirror::push(repository, mirrorPath).ok());

  const std::string fresh = tmp.path() + "/new/root.git";
  {
    std::filesystem::create_directories(tmp.path() + "/newroot");
    auto made = History::open(fresh, tmp.path() + "/newroot");
    ASSERT_TRUE(made.ok()) << made.status().message();
  }
  auto fetched = mirror::fetchAll(fresh, mirrorPath);
  ASSERT_TRUE(fetched.ok()) << fetched.status().message();
  EXPECT_EQ(*fetched, tip);
  EXPECT_EQ(shell("git --git-dir=" + fresh + " rev-parse HEAD " + std::string(kPinnedRefs) + first)
                .output,
            tip + "\n" + first + "\n");
  EXPECT_EQ(shell("git --git-dir=" + fresh + " fsck --strict --no-dangling").status, 0);
  auto mirrors = mirror::list(fresh);
  ASSERT_TRUE(mirrors.ok());
  ASSERT_EQ(mirrors->size(), 1u);
  EXPECT_EQ(mirrors->front().pushed, tip);
  // Only into a history without snapshots.
  EXPECT_EQ(mirror::fetchAll(repository, mirrorPath).status().kind(), Status::Kind::refused);
  auto adopted = History::open(fresh, tmp.path() + "/newroot");
  ASSERT_TRUE(adopted.ok()) << adopted.status().message();
  ASSERT_TRUE((*adopted)->saveCopy(tip, "", tmp.path() + "/copy").ok());
  EXPECT_EQ(read(tmp.path() + "/copy/large.bin"), large);
  EXPECT_EQ(read(tmp.path() + "/copy/a.txt"), "two");

  // The branch's log came along: a newest snapshot found damaged in a history
  // adopted from the mirror goes back to the one before, as it would here.
  const std::string again = tmp.path() + "/again/root.git";
  std::filesystem::create_directories(tmp.path() + "/againroot");
  ASSERT_TRUE(History::open(again, tmp.path() + "/againroot").ok());
  ASSERT_TRUE(mirror::fetchAll(again, mirrorPath).ok());
  const std::string two = git("rev-parse HEAD:a.txt").substr(0, 40);
  shell("cd " + again +
        " && mkdir unpacked && mv objects/pack/* unpacked/ && for p in unpacked/*.pack; do "
        "git --git-dir=. unpack-objects -q < $p; done; rm -rf unpacked");
  ASSERT_TRUE(
      std::filesystem::remove(again + "/objects/" + two.substr(0, 2) + "/" + two.substr(2)));
  auto healed = History::open(again, tmp.path() + "/againroot");
  ASSERT_TRUE(healed.ok()) << healed.status().message();
  ASSERT_TRUE((*healed)->healed());
  EXPECT_EQ((*healed)->healed()->tip, first);
}

// Adopt writes a version beside the folder and records its files in the
// cache as written, so that the first snapshot reads none of them; a file
// changed by anyone else (keeping its size) after it was written and before
// it was recorded is read by that snapshot, never vouched for as the
// version's.
TEST_F(MirrorTest, AnAdoptedFileChangedBeforeItWasRecordedIsReadByTheFirstSnapshot) {
  write("a.txt", "one");
  write("sub/b.txt", "bee");
  write("sub/run", "#!/bin/sh\n");
  std::filesystem::permissions(root + "/sub/run", std::filesystem::perms::owner_exec,
                               std::filesystem::perm_options::add);
  std::filesystem::create_symlink("a.txt", root + "/link");
  const std::string tip = snap().id;
  ASSERT_TRUE(mirror::add(repository, mirrorPath).ok());
  ASSERT_TRUE(mirror::push(repository, mirrorPath).ok());

  // As `tarvine adopt` does it (roots/Mirrors.cpp).
  const std::string fresh = tmp.path() + "/new/root.git", folder = tmp.path() + "/newroot",
                    beside = tmp.path() + "/.tarvine-adopting-newroot";
  std::filesystem::create_directories(folder);
  ASSERT_TRUE(History::open(fresh, folder).ok());
  ASSERT_TRUE(mirror::fetchAll(fresh, mirrorPath).ok());
  {
    auto adopting = History::open(fresh, folder);
    ASSERT_TRUE(adopting.ok()) << adopting.status().message();
    WrittenFiles written;
    ASSERT_TRUE((*adopting)->saveCopy(tip, "", beside, {}, &written).ok());
    EXPECT_EQ(written.size(), 4u);
    // Changed once the clock has moved past its writing, and recorded once
    // it has moved past the change: only the status taken as it was written
    // tells the two apart.
    ASSERT_TRUE(settleBelow(beside));
    std::ofstream(beside + "/sub/b.txt", std::ios::binary | std::ios::trunc) << "BEE";
    ASSERT_TRUE(settleBelow(beside));
    mirror::rememberWritten(fresh, tip, beside, written);
    std::filesystem::remove(folder);
    std::filesystem::rename(beside, folder);
    ASSERT_TRUE((*adopting)->recordPlace().ok());
  }
  auto adopted = History::open(fresh, folder);
  ASSERT_TRUE(adopted.ok()) << adopted.status().message();
  auto first = (*adopted)->snapshot(Reason::manual);
  ASSERT_TRUE(first.ok()) << first.status().message();
  EXPECT_EQ(first->filesRead, 1u) << "the files as written are trusted, the changed one read";
  EXPECT_EQ(shell("git --git-dir=" + fresh + " show HEAD:sub/b.txt").output, "BEE");
}

// A mirror's check reads everything its snapshots reach: intact after a
// push, and each way a disk can spoil it found.
TEST_F(MirrorTest, ACheckFindsWhatTheDiskSpoiled) {
  for (int i = 0; i < 3; ++i) {
    write("f" + std::to_string(i) + ".txt", std::string(5000, static_cast<char>('a' + i)));
    snap();
  }
  ASSERT_TRUE(mirror::add(repository, mirrorPath).ok());
  ASSERT_TRUE(mirror::push(repository, mirrorPath).ok());
  auto intact = mirror::check(repository, mirrorPath);
  ASSERT_TRUE(intact.ok()) << intact.status().message();
  EXPECT_TRUE(intact->intact()) << intact->problems.front();
  EXPECT_EQ(intact->snapshots, 3u);
  // Commits, trees, blobs, and the branch's log: its commit, tree and file.
  EXPECT_EQ(intact->objects, 3u + 3u + 3u + 3u);

  const std::string blob = git("rev-parse HEAD:f1.txt").substr(0, 40);
  // The mirror's objects made loose, one file each, for the disk to spoil.
  const auto unpack = [&] {
    shell("cd " + mirrorPath +
          " && mkdir unpacked && mv objects/pack/* unpacked/; "
          "for p in unpacked/*.pack; do [ -f $p ] && git --git-dir=. unpack-objects -q < $p; "
          "done; rm -rf unpacked");
  };
  const struct {
    const char* what;
    std::function<void()> spoil;
  } spoilings[] = {
      {"a file's content gone",
       [&] {
         unpack();
         ASSERT_TRUE(std::filesystem::remove(mirrorPath + "/objects/" + blob.substr(0, 2) + "/" +
                                             blob.substr(2)));
       }},
      {"a file's content replaced by another's",
       [&] {
         unpack();
         const std::string other = git("rev-parse HEAD:f2.txt").substr(0, 40);
         const auto path = [&](const std::string& id) {
           return mirrorPath + "/objects/" + id.substr(0, 2) + "/" + id.substr(2);
         };
         std::filesystem::remove(path(blob));
         std::filesystem::copy_file(path(other), path(blob));
       }},
      {"the branch moved back by someone else", [&] { mirrorGit("update-ref HEAD HEAD~1"); }},
  };
  for (const auto& spoiling : spoilings) {
    SCOPED_TRACE(spoiling.what);
    std::filesystem::remove_all(mirrorPath);
    ASSERT_TRUE(mirror::remove(repository, mirrorPath).ok());
    ASSERT_TRUE(mirror::add(repository, mirrorPath).ok());
    ASSERT_TRUE(mirror::push(repository, mirrorPath).ok());
    spoiling.spoil();
    auto checked = mirror::check(repository, mirrorPath);
    ASSERT_TRUE(checked.ok()) << checked.status().message();
    EXPECT_FALSE(checked->intact());
  }
  EXPECT_EQ(mirror::check(repository, "ssh://host/a.git").status().kind(), Status::Kind::notFound);
}

// A push killed at any moment leaves the mirror readable, and the next one
// completes it. The push tells the test when it starts sending objects;
// the kill comes that long after.
TEST_F(MirrorTest, APushKilledMidwayLeavesTheMirrorReadableAndTheNextCompletes) {
  std::mt19937 random(7);
  for (int i = 0; i < 200; ++i) {
    std::string content(16 * 1024, '\0');
    for (char& c : content) c = static_cast<char>(random());
    write("d" + std::to_string(i % 10) + "/f" + std::to_string(i), content);
  }
  const std::string tip = snap().id;
  ASSERT_TRUE(mirror::add(repository, mirrorPath).ok());
  std::size_t cutShort = 0;  // kills that left part of the push on the mirror
  for (const int microseconds : {0, 200, 1000, 3000, 10000, 30000}) {
    int sending[2];
    ASSERT_EQ(::pipe(sending), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(sending[0]);
      bool told = false;
      (void)mirror::push(repository, mirrorPath, [&](const mirror::Progress&) {
        if (!told) told = ::write(sending[1], "s", 1) == 1;
      });
      ::_exit(0);
    }
    ::close(sending[1]);
    char byte = 0;
    const bool started = ::read(sending[0], &byte, 1) == 1;
    ::close(sending[0]);
    if (microseconds > 0) ::usleep(static_cast<useconds_t>(microseconds));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(started) << microseconds;
    // Readable: whatever the branch names (if anything yet) is whole.
    const Run head = shell("git --git-dir=" + mirrorPath + " rev-parse -q --verify HEAD");
    if (head.status == 0) mirrorGit("fsck --strict --no-dangling");
    const bool objects = !shell("find " + mirrorPath + "/objects -type f").output.empty();
    if (objects && head.output != tip + "\n") ++cutShort;
    auto pushed = mirror::push(repository, mirrorPath);
    ASSERT_TRUE(pushed.ok()) << microseconds << ": " << pushed.status().message();
    EXPECT_EQ(mirrorGit("rev-parse HEAD"), tip + "\n");
    mirrorGit("fsck --strict --no-dangling");
    // Start again from an empty mirror for the next moment.
    std::filesystem::remove_all(mirrorPath);
    ASSERT_TRUE(mirror::remove(repository, mirrorPath).ok());
    ASSERT_TRUE(mirror::add(repository, mirrorPath).ok());
  }
  EXPECT_GT(cutShort, 0u) << "no kill came while objects were being sent";

  // Killed while the mirror's branch was locked: its lock file stays there.
  write("late.txt", "late");
  const std::string late = snap().id;
  std::string branch = git("symbolic-ref HEAD");
  branch.pop_back();
  std::ofstream(mirrorPath + "/" + branch + ".lock") << tip << "\n";
  std::ofstream(mirrorPath + "/packed-refs.lock");
  auto pushed = mirror::push(repository, mirrorPath);
  ASSERT_TRUE(pushed.ok()) << pushed.status().message();
  EXPECT_EQ(mirrorGit("rev-parse HEAD"), late + "\n");
}

TEST(MirrorAddress, ServersAndPathsAreToldApart) {
  const struct {
    std::string url;
    bool local;
    std::optional<std::string> host;  // as an SSH address; none: not one
    std::string user;
    int port;
  } table[] = {
      {"/media/me/disk/a.git", true, std::nullopt, "", 0},
      {"file:///media/me/disk/a.git", true, std::nullopt, "", 0},
      {"ssh://me@example.org/srv/a.git", false, "example.org", "me", 22},
      {"ssh://example.org:2222/srv/a.git", false, "example.org", "", 2222},
      {"ssh://me@[::1]:2222/srv/a.git", false, "::1", "me", 2222},
      {"me@example.org:a.git", false, "example.org", "me", 22},
      {"example.org:/srv/a.git", false, "example.org", "", 22},
      {"relative/a.git", false, std::nullopt, "", 0},
      {"ssh://example.org:22x/srv/a.git", false, std::nullopt, "", 0},
      {"ssh://example.org", false, std::nullopt, "", 0},
  };
  for (const auto& row : table) {
    EXPECT_EQ(mirror::isLocal(row.url), row.local) << row.url;
    const auto address = row.local ? std::nullopt : mirror::ssh::parse(row.url);
    ASSERT_EQ(address.has_value(), row.host.has_value()) << row.url;
    if (!address) continue;
    EXPECT_EQ(address->host, *row.host) << row.url;
    EXPECT_EQ(address->user, row.user) << row.url;
    EXPECT_EQ(address->port, row.port) << row.url;
  }
  const unsigned char bytes[] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(mirror::ssh::base64(bytes, 4), "YWJjZA==");
  EXPECT_EQ(mirror::ssh::base64(bytes, 3), "YWJj");
}

}  // namespace
}  // namespace tarvine::history::testing
