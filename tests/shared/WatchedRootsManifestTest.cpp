#include "shared/WatchedRootsManifest.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace tarvine {
namespace {

using Root = WatchedRootsManifest::Root;

Result<WatchedRootsManifest> decode(const std::string& text) {
  return WatchedRootsManifest::decode(text);
}

std::string withRoots(const std::string& roots) {
  return R"({"version":1,"publishedAt":"2025-03-14T09:26:53Z","roots":[)" + roots + "]}";
}

TEST(WatchedRootsManifestTest, DecodesAWholeManifest) {
  auto m = decode(R"({"version":7,"publishedAt":"2025-03-14T09:26:53Z","extra":{"x":1},
      "roots":[{"path":"/u/docs","isPaused":false,"mode":"manual","note":true},
               {"path":"/u/pics/","isPaused":true},
               {"path":"/u/music","isPaused":false,"mode":null}]})");
  ASSERT_TRUE(m.ok()) << m.status().message();
  EXPECT_EQ(m->version, 7);
  EXPECT_EQ(m->publishedAt, Timestamp::fromUnix(1'741'944'413));
  ASSERT_EQ(m->roots.size(), 3u);
  EXPECT_EQ(m->roots[0], (Root{"/u/docs", false, "manual"}));
  EXPECT_EQ(m->roots[1], (Root{"/u/pics/", true, std::nullopt}));
  EXPECT_FALSE(m->roots[2].mode);
  EXPECT_TRUE(decode(withRoots("")).ok());
  EXPECT_EQ(decode(withRoots(""))->roots.size(), 0u);
}

TEST(WatchedRootsManifestTest, OneBrokenRuleFailsTheWholeDocument) {
  const char* broken[] = {
      "",
      "[]",
      "null",
      "not json",
      R"({"publishedAt":"2025-03-14T09:26:53Z","roots":[]})",
      R"({"version":null,"publishedAt":"2025-03-14T09:26:53Z","roots":[]})",
      R"({"version":"1","publishedAt":"2025-03-14T09:26:53Z","roots":[]})",
      R"({"version":1.5,"publishedAt":"2025-03-14T09:26:53Z","roots":[]})",
      R"({"version":1.0,"publishedAt":"2025-03-14T09:26:53Z","roots":[]})",
      R"({"version":9223372036854775808,"publishedAt":"2025-03-14T09:26:53Z","roots":[]})",
      R"({"version":1e30,"publishedAt":"2025-03-14T09:26:53Z","roots":[]})",
      R"({"version":1,"publishedAt":"2025-03-14","roots":[]})",
      R"({"version":1,"publishedAt":1741944413,"roots":[]})",
      R"({"version":1,"publishedAt":"2025-03-14T09:26:53Z"})",
      R"({"version":1,"publishedAt":"2025-03-14T09:26:53Z","roots":{}})",
      R"({"Version":1,"publishedAt":"2025-03-14T09:26:53Z","roots":[]})",
  };
  for (const char* text : broken) EXPECT_FALSE(decode(text).ok()) << text;

  const char* brokenRoots[] = {
      R"({"path":"/a","isPaused":false,"mode":3})",
      R"({"path":"/a"})",
      R"({"path":"/a","isPaused":0})",
      R"({"path":"/a","isPaused":null})",
      R"({"isPaused":false})",
      R"({"path":7,"isPaused":false})",
      R"("/a")",
  };
  for (const char* root : brokenRoots) {
    std::string text = withRoots(std::string(R"({"path":"/ok","isPaused":false},)") + root);
    EXPECT_FALSE(decode(text).ok()) << text;
  }
}

TEST(WatchedRootsManifestTest, RangeAndEncodingEdges) {
  std::string big =
      R"({"version":9223372036854775807,"publishedAt":"2025-03-14T09:26:53Z","roots":[]})";
  ASSERT_TRUE(decode(big).ok());
  EXPECT_EQ(decode(big)->version, INT64_MAX);
  std::string small =
      R"({"version":-9223372036854775808,"publishedAt":"2025-03-14T09:26:53Z","roots":[]})";
  EXPECT_EQ(decode(small)->version, INT64_MIN);
  // A NUL inside the document, even after a complete object, fails it.
  std::string nul = withRoots("");
  nul.push_back('\0');
  EXPECT_FALSE(decode(nul).ok());
  // An escaped NUL is an ordinary character of the text.
  auto escaped = decode(withRoots(R"({"path":"/a\u0000b","isPaused":false})"));
  ASSERT_TRUE(escaped.ok());
  EXPECT_EQ(escaped->roots[0].path, std::string("/a\0b", 4));
  EXPECT_FALSE(decode(withRoots("{\"path\":\"/\xFF\",\"isPaused\":false}")).ok());
}

TEST(WatchedRootsManifestTest, LaterDuplicateKeysWinAndUnknownValuesAreSkipped) {
  auto m = decode(R"({"version":"x","version":2,"publishedAt":"2025-03-14T09:26:53Z",
      "roots":5,"skip":{"roots":[1],"version":"no","deep":[[{"path":1}]]},
      "roots":[{"path":"/a","mode":7,"mode":null,"isPaused":"no","isPaused":true,"extra":{"x":[]}}]})");
  ASSERT_TRUE(m.ok()) << m.status().message();
  EXPECT_EQ(m->version, 2);
  EXPECT_EQ(m->roots, (std::vector<Root>{{"/a", true, std::nullopt}}));
  // A later bad value replaces an earlier good one.
  EXPECT_FALSE(
      decode(R"({"version":1,"publishedAt":"2025-03-14T09:26:53Z","roots":[],"roots":5})").ok());
  EXPECT_FALSE(
      decode(R"({"version":1,"version":null,"publishedAt":"2025-03-14T09:26:53Z","roots":[]})")
          .ok());
  EXPECT_FALSE(decode(withRoots(R"({"path":"/a","isPaused":false,"path":null})")).ok());
  // Broken JSON after an otherwise complete manifest still fails.
  EXPECT_FALSE(decode(withRoots("") + " x").ok());
  EXPECT_FALSE(decode(withRoots("").substr(0, 40)).ok());
}

TEST(WatchedRootsManifestTest, DeepNestingInAnUnknownKeyIsSkipped) {
  std::string deep(100'000, '[');
  deep += std::string(100'000, ']');
  auto m =
      decode(R"({"version":1,"publishedAt":"2025-03-14T09:26:53Z","roots":[],"x":)" + deep + "}");
  ASSERT_TRUE(m.ok()) << m.status().message();
  EXPECT_FALSE(
      decode(R"({"version":1,"publishedAt":"2025-03-14T09:26:53Z","roots":)" + deep + "}").ok());
}

TEST(WatchedRootsManifestTest, EncodesWithTheSameKeysAndRoundTrips) {
  WatchedRootsManifest m{3,
                         Timestamp::fromUnix(1'741'944'413),
                         {Root{"/u/docs", false, "manual"}, Root{"/u/x", true, std::nullopt}}};
  auto text = m.encode();
  ASSERT_TRUE(text.ok());
  auto json = nlohmann::json::parse(*text);
  EXPECT_EQ(json["publishedAt"], "2025-03-14T09:26:53Z");
  EXPECT_EQ(json["roots"][1].size(), 2u);  // no "mode" key, never null
  EXPECT_FALSE(json["roots"][1].contains("mode"));
  auto back = decode(*text);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(*back, m);
}

TEST(WatchedRootsManifestTest, EqualityIsCanonicalAndOrdered) {
  Root a{"/u/caf\xC3\xA9", false, "manual"};
  Root b{"/u/cafe\xCC\x81", false, "manual"};
  EXPECT_EQ(a, b);
  EXPECT_NE(a, (Root{a.path, true, a.mode}));
  EXPECT_NE(a, (Root{a.path, false, std::nullopt}));
  EXPECT_NE(a, (Root{a.path, false, "Manual"}));
  WatchedRootsManifest one{1, Timestamp::fromUnix(5), {a, Root{"/x", false, {}}}};
  WatchedRootsManifest swapped{1, Timestamp::fromUnix(5), {Root{"/x", false, {}}, a}};
  EXPECT_NE(one, swapped);
  WatchedRootsManifest later = one;
  later.publishedAt = Timestamp::fromUnix(5, 1);
  EXPECT_NE(one, later);
}

TEST(WatchedRootsManifestTest, CodingKeysMapBothWays) {
  using K = WatchedRootsManifest::CodingKeys;
  for (K k : {K::version, K::publishedAt, K::roots}) {
    EXPECT_EQ(WatchedRootsManifest::codingKey(WatchedRootsManifest::stringValue(k)), k);
  }
  using RK = Root::CodingKeys;
  for (RK k : {RK::path, RK::isPaused, RK::mode}) {
    EXPECT_EQ(Root::codingKey(Root::stringValue(k)), k);
  }
  EXPECT_FALSE(WatchedRootsManifest::codingKey("Roots"));
  EXPECT_FALSE(Root::codingKey("0"));
}

}  // namespace
}  // namespace tarvine
