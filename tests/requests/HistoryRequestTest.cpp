#include "requests/HistoryRequest.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <unordered_set>

#include "tests/support/TempDir.h"

namespace tarvine {
namespace {

using Kind = HistoryRequest::Kind;

HistoryRequest sample(Kind kind = Kind::snapshotNow, std::optional<Data> bookmark = std::nullopt) {
  return HistoryRequest{1,
                        "0E984725-C51C-4BF4-9960-E1C80E27ABA0",
                        Timestamp::fromUnix(1'741'944'413),
                        kind,
                        "/Users/a/My Docs",
                        std::move(bookmark)};
}

std::string valid(const std::string& overrides = "") {
  return R"({"version":1,"id":"X","createdAt":"2025-03-14T09:26:53Z","kind":"showHistory",)" +
         overrides + R"("target":"/t"})";
}

TEST(HistoryRequestTest, KindRawValuesRoundTripAndHashByText) {
  for (Kind k : {Kind::showHistory, Kind::enableHistory, Kind::disableHistory, Kind::snapshotNow,
                 Kind::restorePrevious}) {
    EXPECT_EQ(HistoryRequest::kindFromRawValue(HistoryRequest::rawValue(k)), k);
    EXPECT_EQ(std::hash<Kind>{}(k), std::hash<std::string_view>{}(HistoryRequest::rawValue(k)));
  }
  for (const char* text : {"ShowHistory", "show", "showHistory ", "", "snapshot"}) {
    EXPECT_FALSE(HistoryRequest::kindFromRawValue(text)) << text;
  }
  std::unordered_set<Kind> kinds{Kind::showHistory, Kind::showHistory, Kind::snapshotNow};
  EXPECT_EQ(kinds.size(), 2u);
}

TEST(HistoryRequestTest, EncodesFiveKeysWithoutABookmark) {
  auto text = sample().encode();
  ASSERT_TRUE(text.ok());
  auto json = nlohmann::json::parse(*text);
  EXPECT_EQ(json.size(), 5u);
  EXPECT_EQ(json["version"], 1);
  EXPECT_EQ(json["createdAt"], "2025-03-14T09:26:53Z");
  EXPECT_EQ(json["kind"], "snapshotNow");
  EXPECT_EQ(json["target"], "/Users/a/My Docs");
  EXPECT_EQ(text->find('\n'), std::string::npos);  // compact
}

TEST(HistoryRequestTest, BookmarkIsStandardBase64) {
  Data bytes{0x00, 0xFB, 0xFF, 0x10, 0x3F};
  auto text = sample(Kind::enableHistory, bytes).encode();
  ASSERT_TRUE(text.ok());
  auto json = nlohmann::json::parse(*text);
  EXPECT_EQ(json.size(), 6u);
  EXPECT_EQ(json["bookmark"], "APv/ED8=");
  auto back = HistoryRequest::decode(*text);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back->bookmark, bytes);
  EXPECT_EQ(*back, sample(Kind::enableHistory, bytes));
}

TEST(HistoryRequestTest, FractionsOfASecondAreNotWritten) {
  HistoryRequest request = sample();
  request.createdAt = Timestamp::fromUnix(1'741'944'413, 900'000'000);
  auto back = HistoryRequest::decode(*request.encode());
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back->createdAt, Timestamp::fromUnix(1'741'944'413));
  EXPECT_NE(*back, request);
}

TEST(HistoryRequestTest, EncodingFailsForATargetThatIsNotUtf8) {
  HistoryRequest request = sample();
  request.target = "/Users/a/\xFF";
  EXPECT_FALSE(request.encode().ok());
}

TEST(HistoryRequestTest, DecodingFollowsEveryRule) {
  EXPECT_TRUE(HistoryRequest::decode(valid()).ok());
  EXPECT_FALSE(HistoryRequest::decode(valid(R"("bookmark":null,)"))->bookmark);
  EXPECT_TRUE(HistoryRequest::decode(valid(R"("extra":[1,2],)")).ok());
  const char* broken[] = {
      R"({"id":"X","createdAt":"2025-03-14T09:26:53Z","kind":"showHistory","target":"/t"})",
      R"({"version":1,"id":"X","createdAt":"2025-03-14T09:26:53Z","kind":"showhistory","target":"/t"})",
      R"({"version":1,"id":"X","createdAt":"2025-03-14T09:26:53Z","kind":"show","target":"/t"})",
      R"({"version":1,"id":"X","createdAt":"2025-03-14T09:26:53Z","kind":0,"target":"/t"})",
      R"({"version":1,"id":"X","createdAt":"2025-03-14","kind":"showHistory","target":"/t"})",
      R"({"version":1,"id":null,"createdAt":"2025-03-14T09:26:53Z","kind":"showHistory","target":"/t"})",
      R"({"version":1,"id":"X","createdAt":"2025-03-14T09:26:53Z","kind":"showHistory"})",
      R"({"version":true,"id":"X","createdAt":"2025-03-14T09:26:53Z","kind":"showHistory","target":"/t"})",
      R"(["not","an","object"])",
  };
  for (const char* text : broken) EXPECT_FALSE(HistoryRequest::decode(text).ok()) << text;
  EXPECT_FALSE(HistoryRequest::decode(valid(R"("bookmark":"not base64!",)")).ok());
  EXPECT_FALSE(HistoryRequest::decode(valid(R"("bookmark":42,)")).ok());
}

TEST(HistoryRequestTest, EqualityComparesEveryMember) {
  HistoryRequest a = sample(Kind::enableHistory, Data{1, 2});
  EXPECT_EQ(a, sample(Kind::enableHistory, Data{1, 2}));
  EXPECT_NE(a, sample(Kind::enableHistory, Data{1, 2, 3}));
  EXPECT_NE(a, sample(Kind::enableHistory));
  EXPECT_NE(a, sample(Kind::showHistory, Data{1, 2}));
  HistoryRequest decomposed = a;
  a.target = "/caf\xC3\xA9";
  decomposed.target = "/cafe\xCC\x81";
  EXPECT_EQ(a, decomposed);
}

TEST(HistoryRequestTest, CodingKeysMapBothWays) {
  using K = HistoryRequest::CodingKeys;
  for (K k : {K::version, K::id, K::createdAt, K::kind, K::target, K::bookmark}) {
    EXPECT_EQ(HistoryRequest::codingKey(HistoryRequest::stringValue(k)), k);
  }
  EXPECT_FALSE(HistoryRequest::codingKey("ID"));
}

// A standard JSON reader outside this project sees the same values.
TEST(HistoryRequestTest, PythonJsonReadsTheSameValues) {
  testing::TempDir tmp;
  HistoryRequest request = sample(Kind::enableHistory, Data{0xDE, 0xAD, 0xBE, 0xEF});
  request.target = "/Users/a/caf\xC3\xA9 \"quoted\"/\\back";
  tmp.write("r.json", *request.encode());
  std::string command =
      std::string(TARVINE_PYTHON3) +
      " -c 'import json,sys,base64; d=json.load(open(sys.argv[1],encoding=\"utf-8\"));"
      " print(d[\"version\"], d[\"id\"], d[\"createdAt\"], d[\"kind\"],"
      " base64.b64decode(d[\"bookmark\"]).hex()); "
      "sys.stdout.buffer.write(d[\"target\"].encode())' " +
      tmp.file("r.json");
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  ASSERT_EQ(::pclose(pipe), 0) << output;
  EXPECT_EQ(output,
            "1 0E984725-C51C-4BF4-9960-E1C80E27ABA0 2025-03-14T09:26:53Z enableHistory deadbeef\n" +
                request.target);
}

}  // namespace
}  // namespace tarvine
