// The preferences file as the command line writes it and the application
// reads it: defaults, what this version does not know kept, a damaged file
// refused on reading and replaced on writing, and the application's reader
// following each change while keeping the last good one.

#include "roots/Preferences.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <optional>

#include "tests/support/TempDir.h"

namespace tarvine::roots {
namespace {

TEST(PreferencesTest, ReadsWritesAndFollowsTheFile) {
  struct Case {
    const char* what;
    std::optional<std::string> file;  // none: no file
    std::optional<bool> read;         // none: refused as damaged
  } cases[] = {
      {"never written", std::nullopt, true},
      {"turned off", R"({"notifications": false})", false},
      {"with a key of a later version", R"({"notifications": false, "theme": "dark"})", false},
      {"not JSON", "{\"notifications\": fal", std::nullopt},
      {"not an object", "[false]", std::nullopt},
      {"not a boolean", R"({"notifications": "no"})", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing::TempDir tmp;
    const std::string file = tmp.file(std::string(Preferences::fileName));
    PreferencesFile reader(tmp.path());
    EXPECT_TRUE(reader.current().notifications);
    if (c.file) tmp.write(std::string(Preferences::fileName), *c.file);
    auto read = Preferences::read(tmp.path());
    if (c.read) {
      ASSERT_TRUE(read.ok()) << read.status().message();
      EXPECT_EQ(read->notifications, *c.read);
      EXPECT_EQ(reader.current().notifications, *c.read);
    } else {
      ASSERT_FALSE(read.ok());
      EXPECT_EQ(read.status().kind(), Status::Kind::damaged);
      EXPECT_TRUE(reader.current().notifications);  // the last good: the defaults
    }
    // Changed: the other keys stay, a damaged file is replaced, and the
    // reader sees it without being told.
    const bool wanted = !(c.read && *c.read);
    ASSERT_TRUE(Preferences::change(Container(tmp.path()), [&](Preferences& p) {
                  p.notifications = wanted;
                }).ok());
    EXPECT_EQ(reader.current().notifications, wanted);
    const auto written = nlohmann::json::parse(tmp.read(std::string(Preferences::fileName)));
    EXPECT_EQ(written.at("notifications"), wanted);
    EXPECT_EQ(written.contains("theme"), c.file && c.file->find("theme") != std::string::npos);
    // Damaged afterwards: the reader keeps what it read last.
    tmp.write(std::string(Preferences::fileName), "{");
    EXPECT_EQ(reader.current().notifications, wanted);
  }
}

}  // namespace
}  // namespace tarvine::roots
