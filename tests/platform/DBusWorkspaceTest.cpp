#include "platform/linux/DBusWorkspace.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/linux/DetachedProcess.h"
#include "tests/support/TempDir.h"

namespace tarvine {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Polls `condition` for up to five seconds, iterating the default main context.
template <class Condition>
bool eventually(Condition condition) {
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (std::chrono::steady_clock::now() < deadline) {
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    if (condition()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return condition();
}

// A private session bus for one test, pointed to by DBUS_SESSION_BUS_ADDRESS.
class DBusWorkspaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FILE* out = ::popen("dbus-daemon --session --fork --print-address=1 --print-pid=1", "r");
    ASSERT_NE(out, nullptr);
    char line[512];
    ASSERT_NE(std::fgets(line, sizeof line, out), nullptr);
    address_ = line;
    address_.erase(address_.find_last_not_of("\n") + 1);
    ASSERT_NE(std::fgets(line, sizeof line, out), nullptr);
    daemon_ = std::atoi(line);
    ::pclose(out);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
  }
  void TearDown() override {
    if (daemon_ > 0) ::kill(daemon_, SIGTERM);
  }

  // An application bundle whose executable writes what it sees to a marker file.
  std::string makeApp(const std::string& identifier) {
    std::string app = tmp.file("Probe.app");
    fs::create_directories(app + "/Contents/MacOS");
    plist_t info = plist_new_dict();
    plist_dict_set_item(info, "CFBundleIdentifier", plist_new_string(identifier.c_str()));
    plist_dict_set_item(info, "CFBundleExecutable", plist_new_string("probe"));
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(info, &xml, &length);
    std::ofstream(app + "/Contents/Info.plist") << std::string(xml, length);
    std::free(xml);
    plist_free(info);
    std::string script = app + "/Contents/MacOS/probe";
    std::ofstream(script)
        << "#!/bin/sh\n"
        << "{ echo \"pid $$ sid $(ps -o sid= -p $$ | tr -d ' ')\"; ls /proc/$$/fd; } > " << marker()
        << ".part && mv " << marker() << ".part " << marker() << "\n";
    fs::permissions(script, fs::perms::owner_all);
    return app;
  }
  std::string marker() const { return tmp.file("marker"); }

  GDBusConnection* ownName(const char* name) {
    GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
        address_.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    EXPECT_NE(bus, nullptr);
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
        g_variant_new("(su)", name, 0u), nullptr, G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
    EXPECT_NE(reply, nullptr);
    if (reply != nullptr) g_variant_unref(reply);
    return bus;
  }

  testing::TempDir tmp;
  std::string address_;
  pid_t daemon_ = 0;
};

TEST_F(DBusWorkspaceTest, AnApplicationRunsWhileItOwnsItsName) {
  DBusWorkspace workspace;
  EXPECT_FALSE(workspace.isApplicationRunning("org.example.Probe"));
  GDBusConnection* owner = ownName("org.example.Probe");
  EXPECT_TRUE(workspace.isApplicationRunning("org.example.Probe"));
  g_dbus_connection_close_sync(owner, nullptr, nullptr);
  g_object_unref(owner);
  EXPECT_TRUE(eventually([&] { return !workspace.isApplicationRunning("org.example.Probe"); }));
  for (const char* invalid : {"", "nodots", ":1.1", "a..b", "has space.x", "-a.b"}) {
    EXPECT_FALSE(workspace.isApplicationRunning(invalid)) << invalid;
  }
}

TEST_F(DBusWorkspaceTest, NoBusMeansNothingRunsAndNothingIsAutolaunched) {
  ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  ::setenv("XDG_RUNTIME_DIR", tmp.path().c_str(), 1);
  EXPECT_FALSE(DBusWorkspace::sessionBusAddress());
  DBusWorkspace workspace;
  EXPECT_FALSE(workspace.isApplicationRunning("org.example.Probe"));
  ::setenv("DBUS_SESSION_BUS_ADDRESS", "autolaunch:", 1);
  EXPECT_FALSE(DBusWorkspace::sessionBusAddress());
  ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1);
  EXPECT_FALSE(workspace.isApplicationRunning("org.example.Probe"));
}

TEST_F(DBusWorkspaceTest, AWedgedBusCostsNoMoreThanTheTimeout) {
  // A listening socket that never answers the handshake.
  std::string path = tmp.file("wedged");
  GSocketAddress* where = g_unix_socket_address_new(path.c_str());
  GSocket* listener =
      g_socket_new(G_SOCKET_FAMILY_UNIX, G_SOCKET_TYPE_STREAM, G_SOCKET_PROTOCOL_DEFAULT, nullptr);
  ASSERT_TRUE(g_socket_bind(listener, where, TRUE, nullptr));
  ASSERT_TRUE(g_socket_listen(listener, nullptr));
  ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + path).c_str(), 1);
  DBusWorkspace workspace(200);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(workspace.isApplicationRunning("org.example.Probe"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  g_object_unref(listener);
  g_object_unref(where);
}

TEST_F(DBusWorkspaceTest, AnApplicationThatIsNotRunningIsStartedDetached) {
  std::string app = makeApp("org.example.NotRunning");
  // A descriptor the launcher must not pass on.
  int leaked = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(::dup2(leaked, 77), 0);
  DBusWorkspace workspace;
  workspace.openApplication(FileURL::fromPath(app, true), true);
  ASSERT_TRUE(eventually([&] { return fs::exists(marker()); }));
  std::ifstream in(marker());
  std::string pidWord, pid, sidWord, sid, fd;
  in >> pidWord >> pid >> sidWord >> sid;
  EXPECT_NE(sid, std::to_string(::getsid(0)));  // a session of its own, not ours
  std::vector<std::string> fds;
  while (in >> fd) fds.push_back(fd);
  EXPECT_EQ(std::find(fds.begin(), fds.end(), "77"), fds.end());
  // Nothing is left for us to reap.
  int status = 0;
  EXPECT_EQ(::waitpid(-1, &status, WNOHANG), -1);
  ::close(77);
  ::close(leaked);
}

TEST_F(DBusWorkspaceTest, ARunningApplicationIsActivatedInsteadOfStarted) {
  std::string app = makeApp("org.example.ActivateProbe");
  GApplication* probe = g_application_new("org.example.ActivateProbe", G_APPLICATION_DEFAULT_FLAGS);
  int activations = 0;
  g_signal_connect(probe, "activate",
                   G_CALLBACK(+[](GApplication*, gpointer count) { ++*static_cast<int*>(count); }),
                   &activations);
  ASSERT_TRUE(g_application_register(probe, nullptr, nullptr));
  DBusWorkspace workspace;
  workspace.openApplication(FileURL::fromPath(app, true), true);
  workspace.flush();
  EXPECT_TRUE(eventually([&] { return activations == 1; }));
  EXPECT_FALSE(fs::exists(marker()));
  g_object_unref(probe);
}

TEST_F(DBusWorkspaceTest, BrokenBundlesAreDroppedSilently) {
  DBusWorkspace workspace;
  workspace.openApplication(FileURL::fromPath(tmp.file("Nothing.app"), true), true);
  std::string app = makeApp("org.example.Broken");
  fs::remove(app + "/Contents/MacOS/probe");
  workspace.openApplication(FileURL::fromPath(app, true), true);
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(fs::exists(marker()));
  EXPECT_TRUE(
      DetachedProcess::spawn("/nonexistent/program", {"x"}));  // fork succeeded; exec did not
}

}  // namespace
}  // namespace tarvine
