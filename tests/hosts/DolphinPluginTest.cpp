// Loads the built Dolphin plugin as Dolphin does (its Qt plugin factory) and
// asks it for menus on a private session bus where the test plays the main
// application; Qt's event loop runs the bus-name watch, as in Dolphin.

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <KAbstractFileItemActionPlugin>
#include <KFileItem>
#include <KFileItemListProperties>
#include <KPluginFactory>
#include <QAction>
#include <QApplication>
#include <QFile>
#include <QMenu>
#include <QPluginLoader>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/ModuleEnvironment.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/TempDir.h"

namespace {

namespace fs = std::filesystem;

// Qt's loop, run in steps for about `milliseconds`.
constexpr int kStepMilliseconds = 10;
void pump(int milliseconds) {
  for (int i = 0; i < milliseconds / kStepMilliseconds; ++i) {
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    std::this_thread::sleep_for(std::chrono::milliseconds(kStepMilliseconds));
  }
}

// How long a test waits for the worker: 100 turns of 50 ms, five seconds.
constexpr int kTurns = 100;
constexpr int kTurnMilliseconds = 50;

// One line per entry: its text, "-" when disabled, "[x]" when checked,
// "----" for a separator.
std::string describe(QMenu* menu) {
  std::string out;
  for (QAction* entry : menu->actions()) {
    if (!out.empty()) out += "|";
    if (entry->isSeparator()) {
      out += "----";
      continue;
    }
    out += entry->text().toStdString() + (entry->isEnabled() ? "" : "-") +
           (entry->isChecked() ? "[x]" : "");
  }
  return out;
}

// A Qt application with the built plugin loaded as Dolphin loads it (its Qt
// plugin factory), and one plugin made.
struct LoadedPlugin {
  LoadedPlugin() {
    auto* factory = qobject_cast<KPluginFactory*>(loader.instance());
    EXPECT_NE(factory, nullptr) << loader.errorString().toStdString();
    if (factory != nullptr) plugin = factory->create<KAbstractFileItemActionPlugin>();
  }

  int argc = 1;
  char name[5] = "test";
  char* argv[2] = {name, nullptr};
  QApplication application{argc, argv};
  QPluginLoader loader{QStringLiteral(TARVINE_DOLPHIN_PLUGIN)};
  KAbstractFileItemActionPlugin* plugin = nullptr;
};

TEST(DolphinPluginTest, MenusShowTheWholeModelDeliverTheirSelectionAndDoNotPileUp) {
  tarvine::testing::PrivateBus bus;
  tarvine::testing::TempDir data;
  ::setenv("XDG_DATA_HOME", data.path().c_str(), 1);
  ::setenv("TARVINE_EXTENSION_BUNDLE", TARVINE_TEST_APPEX, 1);
  ::setenv("LANGUAGE", "en", 1);
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  const passwd* user = ::getpwuid(::getuid());
  const std::string root = std::string(user->pw_dir) + "/.tarvine-dolphin-test-" +
                           std::to_string(::getpid()) + "/watched";
  data.write("QF7T2K9M4R.com.quillfen.tarvine/roots.json",
             R"({"version":1,"publishedAt":"2025-03-14T09:26:53Z","roots":[{"path":")" + root +
                 R"(","isPaused":false,"mode":"manual"}]})");
  LoadedPlugin loaded;
  KAbstractFileItemActionPlugin* plugin = loaded.plugin;
  ASSERT_NE(plugin, nullptr);

  auto menuFor = [&](const std::string& path, bool directory) {
    KFileItemListProperties items(KFileItemList{
        KFileItem(QUrl::fromLocalFile(QString::fromStdString(path)),
                  directory ? QStringLiteral("inode/directory") : QStringLiteral("text/plain"),
                  directory ? S_IFDIR : S_IFREG)});
    return plugin->actions(items, nullptr);
  };
  // Nothing until the main application owns its bus name.
  EXPECT_TRUE(menuFor(root, true).isEmpty());
  GDBusConnection* app = bus.connect();
  g_bus_own_name_on_connection(app, "com.quillfen.tarvine", G_BUS_NAME_OWNER_FLAGS_NONE, nullptr,
                               nullptr, nullptr, nullptr);
  QList<QAction*> actions;
  for (int i = 0; i < kTurns && (actions = menuFor(root, true)).isEmpty(); ++i) {
    pump(kTurnMilliseconds);
  }
  ASSERT_EQ(actions.size(), 1);
  QAction* history = actions[0];
  EXPECT_EQ(history->text().toStdString(), "History");
  EXPECT_FALSE(history->icon().isNull());  // the BrandGlyph
  ASSERT_NE(history->menu(), nullptr);
  EXPECT_EQ(describe(history->menu()),
            "Enable History-[x]|Disable History|----|Snapshot Now|Restore Previous "
            "Version-|----|Show History\u2026");
  // Items are named by the command they offer; only an entry whose state is
  // on has a check mark.
  EXPECT_EQ(history->objectName().toStdString(), "Tarvine::history");
  EXPECT_EQ(history->menu()->actions()[3]->objectName().toStdString(), "Tarvine::snapshotNow");
  EXPECT_TRUE(history->menu()->actions()[0]->isCheckable());
  QAction* outside = menuFor(std::filesystem::path(root).parent_path().string(), true)[0];
  EXPECT_EQ(describe(outside->menu()),
            "Enable History|Disable History-|----|Snapshot Now-|Restore Previous "
            "Version-|----|Show History\u2026-");
  EXPECT_FALSE(outside->menu()->actions()[0]->isCheckable());

  // Picked after the file manager moved on: the request is for its own menu.
  QAction* snapshot = history->menu()->actions()[3];
  EXPECT_EQ(describe(menuFor(root + "/file.txt", false)[0]->menu()),
            "Enable History-[x]|Disable History-|----|Snapshot Now-|Restore Previous "
            "Version|----|Show History\u2026");
  snapshot->trigger();
  const fs::path spool = fs::path(data.path()) / "QF7T2K9M4R.com.quillfen.tarvine/requests";
  // Written on the worker: the spool may be there before the file is renamed into it.
  auto requests = [&] { return tarvine::testing::finishedRequests(spool.string()); };
  for (int i = 0; i < kTurns && requests().empty(); ++i) pump(kTurnMilliseconds);
  ASSERT_EQ(requests().size(), 1u);
  EXPECT_NE(data.read("QF7T2K9M4R.com.quillfen.tarvine/requests/" +
                      fs::directory_iterator(spool)->path().filename().string())
                .find("\"kind\":\"snapshotNow\",\"target\":\"" + root + "\""),
            std::string::npos);

  // Dolphin keeps the plugin for its life and never frees what it returns: a
  // thousand menus must leave no more objects than one.
  constexpr int kMenus = 1000;
  constexpr int kMenusBetweenTurns = 100;
  pump(kTurnMilliseconds);
  const auto widgets = QApplication::allWidgets().size();
  for (int i = 0; i < kMenus; ++i) {
    menuFor(root, true);
    if (i % kMenusBetweenTurns == 0) pump(kStepMilliseconds);
  }
  pump(kTurnMilliseconds);
  EXPECT_LE(QApplication::allWidgets().size(), widgets + 1);
  g_object_unref(app);
  delete plugin;
}

// A fresh Dolphin process whose first menu is on a watched folder while the
// main application runs: History at once, whether or not Qt runs GLib's loop.
// A folder whose name KIO could not decode is not taken for the path KIO made.
class DolphinFreshProcessTest : public ::testing::TestWithParam<bool> {};

TEST_P(DolphinFreshProcessTest, TheFirstMenuIsRightAndUndecodableNamesGetNone) {
  if (GetParam()) ::setenv("QT_NO_GLIB", "1", 1);
  tarvine::testing::PrivateBus bus;
  tarvine::testing::TempDir data;
  ::setenv("XDG_DATA_HOME", data.path().c_str(), 1);
  ::setenv("TARVINE_EXTENSION_BUNDLE", TARVINE_TEST_APPEX, 1);
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  // In the real home, the only scope the plugin serves: removed however the
  // test ends.
  const std::string root = std::string(::getpwuid(::getuid())->pw_dir) +
                           "/.tarvine-dolphin-first-" + std::to_string(::getpid());
  struct Removed {
    const std::string& path;
    ~Removed() {
      std::error_code ignored;
      fs::remove_all(path, ignored);
    }
  } removed{root};
  fs::create_directories(root + "/caf\xe9");
  fs::create_directories(root + "/caf\xc3\xa9");
  data.write("QF7T2K9M4R.com.quillfen.tarvine/roots.json",
             R"({"version":1,"publishedAt":"2025-03-14T09:26:53Z","roots":[{"path":")" + root +
                 R"(","isPaused":false}]})");
  GDBusConnection* app = bus.connect();
  GVariant* reply = g_dbus_connection_call_sync(
      app, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
      g_variant_new("(su)", "com.quillfen.tarvine", 0), nullptr, G_DBUS_CALL_FLAGS_NONE, -1,
      nullptr, nullptr);
  ASSERT_NE(reply, nullptr);
  g_variant_unref(reply);

  LoadedPlugin loaded;
  KAbstractFileItemActionPlugin* plugin = loaded.plugin;
  ASSERT_NE(plugin, nullptr);
  auto folder = [&](const QString& path) {
    KFileItemListProperties items(KFileItemList{
        KFileItem(QUrl::fromLocalFile(path), QStringLiteral("inode/directory"), S_IFDIR)});
    return plugin->actions(items, nullptr).size();
  };
  EXPECT_EQ(folder(QString::fromStdString(root)), 1);
  // KIO decodes "caf\xe9" as "caf\uFFFD", a path that names no folder.
  EXPECT_EQ(folder(QFile::decodeName(QByteArray::fromStdString(root + "/caf\xe9"))), 0);
  EXPECT_EQ(folder(QString::fromStdString(root + "/caf\xc3\xa9")), 1);
  delete plugin;
  g_object_unref(app);
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutGLib, DolphinFreshProcessTest, ::testing::Bool());

}  // namespace
