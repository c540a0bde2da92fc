// Thinning a long history: 10,000 versions of a 10,000-file folder, one
// every half hour (so that every tier of the standard policy has work),
// packed as the application keeps it, thinned to the standard policy. It
// prints the CPU time of the thinning (which includes the pack that frees
// the space), the space before and after, and checks what it must: exactly
// the versions the policy keeps remain, each with the very tree it had and
// its changed file read back byte for byte, `git fsck --strict` is clean, and
// nothing unreachable is left. With --smoke, a small history, to see that it
// works.

#include <git2.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "history/GitObjects.h"
#include "history/History.h"
#include "history/Thinning.h"

namespace {

using namespace tarvine::history;
using tarvine::Status;
namespace fs = std::filesystem;

constexpr std::int64_t kSpacing = 30 * 60;

double cpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double wallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string filePath(int file) {
  char path[64];
  std::snprintf(path, sizeof path, "d%02d/e%d/f%05d.txt", file % 50, file % 7, file);
  return path;
}

// The content of the file version `version` changed; version 0 is the first
// state of every file.
std::string content(int file, int version) {
  return "file " + std::to_string(file) + " at version " + std::to_string(version) + "\n" +
         std::string(200 + file % 300, static_cast<char>('a' + version % 26));
}

struct Made {
  std::string id;
  std::int64_t time;
  int file;  // the file it changed; -1 for the first
  git_oid tree;
  Reason reason;
};

int fail(const std::string& why) {
  std::fprintf(stderr, "thinning benchmark: %s\n", why.c_str());
  return 1;
}

std::string run(const std::string& command) {
  std::string output;
  std::FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return "cannot run";
  for (int c; (c = std::fgetc(pipe)) != EOF;) output += static_cast<char>(c);
  const int status = ::pclose(pipe);
  return status == 0 ? output : "FAILED(" + std::to_string(status) + "): " + output;
}

}  // namespace

int main(int argc, char** argv) {
  const bool smoke = argc > 1 && std::string(argv[1]) == "--smoke";
  const int files = smoke ? 500 : 10'000;
  const int versions = smoke ? 400 : 10'000;
  const fs::path home =
      fs::temp_directory_path() / ("tarvine-thinning-bench-" + std::to_string(::getpid()));
  fs::remove_all(home);
  fs::create_directories(home / "root");
  const std::string repository = (home / "root.git").string();
  const std::int64_t now = std::time(nullptr);
  std::vector<Made> made;
  {
    auto opened = History::open(repository, (home / "root").string());
    if (!opened.ok()) return fail(opened.status().message());
  }

  // The history, written straight into the store: taking 10,000 snapshots
  // would measure the snapshots, not the thinning.
  git_libgit2_init();
  git_repository* git = nullptr;
  if (git_repository_open_bare(&git, repository.c_str()) != 0) return fail("cannot open");
  git_oid tree{};
  {
    std::vector<git_tree_update> updates(files);
    std::vector<std::string> paths(files);
    for (int file = 0; file < files; ++file) {
      const std::string text = content(file, 0);
      paths[file] = filePath(file);
      updates[file] = {GIT_TREE_UPDATE_UPSERT, {}, GIT_FILEMODE_BLOB, paths[file].c_str()};
      git_blob_create_from_buffer(&updates[file].id, git, text.data(), text.size());
    }
    git_treebuilder* builder = nullptr;
    git_oid empty;
    git_treebuilder_new(&builder, git, nullptr);
    git_treebuilder_write(&empty, builder);
    git_treebuilder_free(builder);
    git_tree* base = nullptr;
    git_tree_lookup(&base, git, &empty);
    if (git_tree_create_updated(&tree, git, base, updates.size(), updates.data()) != 0) {
      return fail("cannot make the first tree");
    }
    git_tree_free(base);
  }
  std::uint32_t random = 12345;
  for (int v = 0; v < versions; ++v) {
    const std::int64_t time = now - static_cast<std::int64_t>(versions - v) * kSpacing + 60;
    int file = -1;
    if (v > 0) {
      random = random * 1664525u + 1013904223u;
      file = static_cast<int>(random % files);
      const std::string text = content(file, v);
      const std::string path = filePath(file);
      git_tree_update update{GIT_TREE_UPDATE_UPSERT, {}, GIT_FILEMODE_BLOB, path.c_str()};
      git_blob_create_from_buffer(&update.id, git, text.data(), text.size());
      git_tree* base = nullptr;
      git_tree_lookup(&base, git, &tree);
      git_tree_create_updated(&tree, git, base, 1, &update);
      git_tree_free(base);
    }
    git_tree* object = nullptr;
    git_tree_lookup(&object, git, &tree);
    git_signature* signature = nullptr;
    git_signature_new(&signature, "Tarvine", "tarvine@localhost", time, 0);
    git_commit* parent = nullptr;
    git_oid parentId;
    if (git_reference_name_to_id(&parentId, git, "HEAD") == 0) {
      git_commit_lookup(&parent, git, &parentId);
    }
    const git_commit* parents[] = {parent};
    const Reason reason = v % 50 == 7 ? Reason::manual : Reason::automatic;
    const std::string message = snapshotMessage(reason, (home / "root").string());
    git_oid commit;
    if (git_commit_create(&commit, git, "HEAD", signature, signature, nullptr, message.c_str(),
                          object, parent != nullptr ? 1 : 0, parents) != 0) {
      return fail("cannot write a version");
    }
    made.push_back({hex(commit), time, file, tree, reason});
    git_commit_free(parent);
    git_signature_free(signature);
    git_tree_free(object);
  }
  git_repository_free(git);

  auto history = History::open(repository, (home / "root").string());
  if (!history.ok()) return fail(history.status().message());
  // Packed, as the application keeps a history.
  if (Status packed = (*history)->pack(); !packed.ok()) return fail(packed.message());

  // What the policy keeps, judged on its own.
  std::vector<Aged> aged;
  for (auto it = made.rbegin(); it != made.rend(); ++it) {
    aged.push_back({it->time, it->reason, false, 0});
  }
  std::map<std::int64_t, const Made*> byTime;
  for (const Made& version : made) byTime[version.time] = &version;

  const double cpu = cpuSeconds(), wall = wallSeconds();
  auto thinned = (*history)->thin(now);
  const double thinCpu = cpuSeconds() - cpu, thinWall = wallSeconds() - wall;
  if (!thinned.ok()) return fail(thinned.status().message());

  // The versions left: each the very tree it had, its changed file as made.
  auto left = (*history)->versions("");
  if (!left.ok()) return fail(left.status().message());
  std::size_t identical = 0;
  git_repository_open_bare(&git, repository.c_str());
  for (const Version& version : *left) {
    const auto original = byTime.find(version.time);
    if (original == byTime.end()) return fail("a version no one made: " + version.id);
    auto commit = commitById(git, version.id);
    if (!commit.ok() ||
        !git_oid_equal(git_commit_tree_id(commit->get()), &original->second->tree)) {
      return fail("version " + version.id + " does not hold the tree it had");
    }
    if (original->second->file >= 0) {
      std::FILE* out = std::tmpfile();
      const std::string path = filePath(original->second->file);
      if (!(*history)->writeFileVersion(version.id, path, ::fileno(out)).ok()) {
        return fail("cannot read " + path + " of " + version.id);
      }
      std::fflush(out);
      std::rewind(out);
      std::string text;
      for (int c; (c = std::fgetc(out)) != EOF;) text += static_cast<char>(c);
      std::fclose(out);
      const int index = static_cast<int>(original->second - made.data());
      if (text != content(original->second->file, index)) {
        return fail(path + " of " + version.id + " is not as it was");
      }
    }
    ++identical;
  }
  git_repository_free(git);
  // Exactly what the policy keeps (every reason here is automatic or manual,
  // neither of which counts).
  std::size_t expected = 0;
  for (Verdict verdict : judge(Retention::standard(), aged, now)) expected += kept(verdict);
  if (left->size() != expected || thinned->kept != expected) {
    return fail("kept " + std::to_string(left->size()) + ", the policy keeps " +
                std::to_string(expected));
  }
  const std::string gitDir = "git --git-dir=" + repository + " ";
  const double fsckStart = wallSeconds();
  const std::string fsck = run(gitDir + "fsck --strict --no-progress");
  const double fsckWall = wallSeconds() - fsckStart;
  if (fsck.rfind("FAILED", 0) == 0) return fail("git fsck --strict: " + fsck);
  const std::string unreachable = run(gitDir + "fsck --unreachable --no-reflogs --no-progress");
  if (unreachable.find("unreachable") != std::string::npos) {
    return fail("left unreachable: " + unreachable.substr(0, 200));
  }
  const std::string reachable = run(gitDir + "rev-list --objects --all | wc -l");
  const std::string counted = run(gitDir + "count-objects -v");

  // A second thinning, with nothing to drop: what the daily one costs.
  const double againCpu = cpuSeconds();
  auto again = (*history)->thin(now);
  const double againSeconds = cpuSeconds() - againCpu;
  if (!again.ok() || !again->dropped.empty()) return fail("the second thinning dropped more");

  // The share of the pack: packing the thinned history again, alone.
  const double packCpu = cpuSeconds();
  if (Status packed = (*history)->pack(); !packed.ok()) return fail(packed.message());
  const double packSeconds = cpuSeconds() - packCpu;

  // git's own gc of the thinned history, side by side: its time and size.
  const auto childCpu = [] {
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
           usage.ru_stime.tv_usec / 1e6;
  };
  const double gcStart = childCpu();
  const std::string gc = run(gitDir + "gc --quiet --prune=now");
  const double gcSeconds = childCpu() - gcStart;
  if (gc.rfind("FAILED", 0) == 0) return fail("git gc: " + gc);
  std::uint64_t gcBytes = 0;
  for (const auto& entry : fs::recursive_directory_iterator(repository + "/objects")) {
    if (entry.is_regular_file()) gcBytes += entry.file_size();
  }

  std::printf("| measurement | value |\n| --- | --- |\n");
  std::printf("| history | %d versions of a %d-file folder, one every %lld min |\n", versions,
              files, static_cast<long long>(kSpacing / 60));
  std::printf("| kept by the standard policy | %zu (dropped %zu) |\n", thinned->kept,
              thinned->dropped.size());
  std::printf(
      "| thinning, CPU (wall) | %.2f s (%.2f s), the pack that frees the space included |\n",
      thinCpu, thinWall);
  std::printf("| of which packing (the thinned history packed again alone), CPU | %.2f s |\n",
              packSeconds);
  std::printf("| thinning again, nothing to drop, CPU | %.3f s |\n", againSeconds);
  std::printf("| history on disk, packed: before / after | %.1f MB / %.1f MB |\n",
              thinned->bytesBefore / 1048576.0, thinned->bytesAfter / 1048576.0);
  const auto field = [&](const std::string& name) {
    const auto at = counted.find(name + ": ");
    if (at == std::string::npos) return std::string("?");
    const auto start = at + name.size() + 2;
    return counted.substr(start, counted.find('\n', start) - start);
  };
  std::printf("| `git gc --prune=now` of the thinned history: CPU, size | %.2f s, %.1f MB |\n",
              gcSeconds, gcBytes / 1048576.0);
  std::printf("| objects reachable / packed / loose after | %s / %s / %s |\n",
              reachable.substr(0, reachable.find_last_not_of(" \n") + 1).c_str(),
              field("in-pack").c_str(), field("count").c_str());
  std::printf("| `git fsck --strict` | clean (%.1f s wall) |\n", fsckWall);
  std::printf("| kept versions checked byte for byte | %zu of %zu |\n", identical, expected);
  (*history).reset();
  fs::remove_all(home);
  return 0;
}
