// The extension's own thread, driven as a file manager's interface thread
// drives it: over a file system that can hang or throw, and a bus that goes
// away and comes back. Whatever the worker meets, the caller gets an answer
// within the bound and no command is lost.

#include "hosts/glib/ExtensionWorker.h"

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <thread>

#include "platform/posix/PosixFileSystem.h"
#include "tests/support/ModuleEnvironment.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/TempDir.h"

namespace tarvine {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The real file system behind a gate that can be closed (every call waits, as
// on a dead network mount) and a switch that makes every call throw. Request
// kinds are recorded in the order they are written.
class GatedFileSystem : public PosixFileSystem {
 public:
  using PosixFileSystem::PosixFileSystem;

  void close() { set(false); }
  void open() { set(true); }
  std::atomic<bool> throwing = false;
  std::atomic<int> thrown = 0;

  std::vector<std::string> written() {
    std::lock_guard lock(mutex_);
    return written_;
  }

  std::optional<Timestamp> contentModificationDate(const FileURL& url) override {
    pass();
    return PosixFileSystem::contentModificationDate(url);
  }
  Result<std::string> readFile(const FileURL& url) override {
    pass();
    return PosixFileSystem::readFile(url);
  }
  Status writeFileAtomically(const FileURL& url, std::string_view content) override {
    pass();
    Status status = PosixFileSystem::writeFileAtomically(url, content);
    std::lock_guard lock(mutex_);
    written_.push_back(nlohmann::json::parse(content).at("kind"));
    return status;
  }

 private:
  void set(bool open) {
    std::lock_guard lock(mutex_);
    open_ = open;
    changed_.notify_all();
  }
  void pass() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return open_; });
    if (throwing) {
      ++thrown;
      throw std::runtime_error("injected");
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = true;
  std::vector<std::string> written_;
};

class ExtensionWorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("XDG_DATA_HOME", data_.path().c_str(), 1);
    ::setenv("TARVINE_EXTENSION_BUNDLE", TARVINE_TEST_APPEX, 1);
    ::setenv("LANGUAGE", "en", 1);
    root_ = std::string(::getpwuid(::getuid())->pw_dir) + "/.tarvine-worker-test-" +
            std::to_string(::getpid());
    publish();
    worker_ = std::make_unique<ExtensionWorker>(
        [this] {
          auto files = std::make_unique<GatedFileSystem>(data_.path());
          files_ = files.get();
          return std::make_unique<HostExtension>(TARVINE_TEST_APPEX, std::move(files));
        },
        [this] { ++changes_; });
    app_ = bus_.connect();
    own();
  }
  void TearDown() override {
    worker_.reset();
    if (app_ != nullptr) g_object_unref(app_);
  }

  void publish(const std::string& mode = "manual") {
    data_.write(std::string(kGroup) + "/roots.json",
                R"({"version":1,"publishedAt":"2025-03-14T09:26:53Z","roots":[{"path":")" + root_ +
                    R"(","isPaused":false,"mode":")" + mode + R"("}]})");
  }
  void own() {
    g_bus_own_name_on_connection(app_, "com.quillfen.tarvine", G_BUS_NAME_OWNER_FLAGS_NONE, nullptr,
                                 nullptr, nullptr, nullptr);
  }

  std::optional<HostMenu> menu() {
    return worker_->menuForSelection({{"file://" + root_, true, std::nullopt}});
  }
  // The menu once the worker has caught up with the world, or absent.
  std::optional<HostMenu> settledMenu() {
    for (int i = 0; i < 250; ++i) {
      if (auto found = menu()) return found;
      std::this_thread::sleep_for(20ms);
    }
    return std::nullopt;
  }
  void perform(Selector selector) {
    auto selection = std::make_shared<CapturedSelection>();
    selection->selected = {FileURL::fromPath(root_, true)};
    worker_->perform(selection, selector);
  }
  std::size_t spooled() {
    return testing::finishedRequests(data_.path() + "/" + kGroup + "/requests").size();
  }
  bool spooledSoon(std::size_t count) {
    for (int i = 0; i < 250 && spooled() < count; ++i) std::this_thread::sleep_for(20ms);
    return spooled() == count;
  }

  static constexpr const char* kGroup = "QF7T2K9M4R.com.quillfen.tarvine";
  testing::PrivateBus bus_;
  testing::TempDir data_;
  std::string root_;
  GDBusConnection* app_ = nullptr;
  std::atomic<GatedFileSystem*> files_ = nullptr;
  std::atomic<int> changes_ = 0;
  std::unique_ptr<ExtensionWorker> worker_;
};

TEST_F(ExtensionWorkerTest, AHungFileSystemCostsTheCallerOnlyTheBoundAndLosesNoCommand) {
  ASSERT_TRUE(settledMenu());
  // The mount stops answering; the manifest changes, so the next menu reads.
  files_.load()->close();
  std::this_thread::sleep_for(20ms);
  publish("automatic");
  EXPECT_FALSE(menu());  // within the bound, with no entry rather than a stale one
  EXPECT_FALSE(menu());
  perform(Selector::snapshotNow);  // each returns at once
  perform(Selector::showHistory);
  perform(Selector::disableHistory);
  EXPECT_EQ(spooled(), 0u);
  files_.load()->open();
  auto menu = settledMenu();
  ASSERT_TRUE(menu);
  // The new manifest's: an automatic root offers no snapshot.
  EXPECT_FALSE(menu->menu.items[0].submenu->items[3].enabled);
  ASSERT_TRUE(spooledSoon(3));
  EXPECT_EQ(files_.load()->written(),
            (std::vector<std::string>{"snapshotNow", "showHistory", "disableHistory"}));
}

TEST_F(ExtensionWorkerTest, WhatAServiceThrowsNeverReachesTheCaller) {
  ASSERT_TRUE(settledMenu());
  publish("automatic");
  GatedFileSystem& files = *files_.load();
  files.throwing = true;
  EXPECT_FALSE(menu());
  const int thrown = files.thrown;
  perform(Selector::showHistory);
  for (int i = 0; i < 250 && files.thrown == thrown; ++i) std::this_thread::sleep_for(20ms);
  files.throwing = false;
  EXPECT_TRUE(settledMenu());
  perform(Selector::showHistory);
  EXPECT_TRUE(spooledSoon(1));
}

TEST_F(ExtensionWorkerTest, StoppingCarriesOutTheQueuedCommandsFirst) {
  ASSERT_TRUE(settledMenu());
  files_.load()->close();
  perform(Selector::snapshotNow);
  perform(Selector::showHistory);
  std::thread release([&] {
    std::this_thread::sleep_for(200ms);
    files_.load()->open();
  });
  worker_->stop();
  release.join();
  EXPECT_EQ(spooled(), 2u);
  perform(Selector::showHistory);  // after the stop: dropped, no crash
  EXPECT_FALSE(menu());
}

TEST_F(ExtensionWorkerTest, MenusFollowTheApplicationAcrossARestartOfTheBus) {
  ASSERT_TRUE(settledMenu());
  const int before = changes_;
  g_object_unref(app_);
  bus_.restart();
  for (int i = 0; i < 250 && menu(); ++i) std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(menu());
  EXPECT_GT(changes_, before);  // the file manager is told the items changed
  app_ = bus_.connect();
  own();
  EXPECT_TRUE(settledMenu());  // the watch connected again by itself
  // And a new manifest is noticed without a menu asking for it.
  const int seen = changes_;
  publish("automatic");
  for (int i = 0; i < 250 && changes_ == seen; ++i) std::this_thread::sleep_for(20ms);
  EXPECT_GT(changes_, seen);
}

}  // namespace
}  // namespace tarvine

namespace tarvine {
namespace {

// A watched folder on a mount whose lookups hang (a sleeping NFS or sshfs
// server): the menu comes back within the bound, without History, while the
// lookup is still hanging; once the mount answers, the menu is right.
TEST_F(ExtensionWorkerTest, AFolderOnAHangingMountCostsTheCallerOnlyTheBound) {
  testing::TempDir control;
  const std::string mount = root_ + "-mount";
  const std::string release = control.file("release");
  fs::create_directories(mount);
  GPid helper = 0;
  const char* argv[] = {TARVINE_GATED_MOUNT, mount.c_str(), release.c_str(), nullptr};
  ASSERT_TRUE(g_spawn_async(nullptr, const_cast<char**>(argv), nullptr, G_SPAWN_DEFAULT, nullptr,
                            nullptr, &helper, nullptr));
  auto mounted = [&] {
    struct stat inside {
    }, outside{};
    return ::stat(mount.c_str(), &inside) == 0 &&
           ::stat(fs::path(mount).parent_path().c_str(), &outside) == 0 &&
           inside.st_dev != outside.st_dev;
  };
  for (int i = 0; i < 250 && !mounted(); ++i) std::this_thread::sleep_for(20ms);
  if (!mounted()) {
    ::kill(helper, SIGTERM);
    std::error_code ignored;
    fs::remove(mount, ignored);
    GTEST_SKIP() << "FUSE does not mount here";
  }
  ASSERT_TRUE(settledMenu());
  // The lookup hangs until released: only the bound can bring this back.
  EXPECT_FALSE(worker_->menuForSelection({{"file://" + mount + "/watched", true, std::nullopt}}));
  // Other folders wait behind it: the worker is one thread. They get the bound.
  EXPECT_FALSE(menu());
  control.write("release", "");
  std::optional<HostMenu> answered;
  for (int i = 0; i < 250 && !answered; ++i) {
    answered = worker_->menuForSelection({{"file://" + mount + "/watched", true, std::nullopt}});
    if (!answered) std::this_thread::sleep_for(20ms);
  }
  EXPECT_TRUE(answered);  // a folder outside every root: Enable History
  ::kill(helper, SIGTERM);
  int status = 0;
  ::waitpid(helper, &status, 0);
  // The folder is busy until the mount is gone; it is in the user's home.
  for (int i = 0; i < 250 && mounted(); ++i) std::this_thread::sleep_for(20ms);
  std::error_code ignored;
  fs::remove(mount, ignored);
}

}  // namespace
}  // namespace tarvine
