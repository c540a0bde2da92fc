#include "foundation/Iso8601.h"

#include <gtest/gtest.h>

namespace tarvine {
namespace {

constexpr std::int64_t kPi = 1'741'944'413;  // 2025-03-14T09:26:53Z

TEST(Iso8601Test, FormatsWholeSecondsInUtc) {
  EXPECT_EQ(Iso8601::format(Timestamp::fromUnix(kPi)), "2025-03-14T09:26:53Z");
  EXPECT_EQ(Iso8601::format(Timestamp::fromUnix(kPi, 999'999'999)), "2025-03-14T09:26:53Z");
  EXPECT_EQ(Iso8601::format(Timestamp::fromUnix(0)), "1970-01-01T00:00:00Z");
  // Truncation goes toward the past, also before the epoch.
  EXPECT_EQ(Iso8601::format(Timestamp::fromUnix(0, -1)), "1969-12-31T23:59:59Z");
  EXPECT_EQ(Iso8601::format(Timestamp::fromUnix(951'782'400)), "2000-02-29T00:00:00Z");
}

TEST(Iso8601Test, FormatRefusesYearsBeyondFourDigits) {
  EXPECT_FALSE(Iso8601::format(Timestamp::fromUnix(253'402'300'800)));  // 10000-01-01
  EXPECT_TRUE(Iso8601::format(Timestamp::fromUnix(253'402'300'799)));   // 9999-12-31T23:59:59
  EXPECT_FALSE(Iso8601::format(Timestamp::fromUnix(INT64_MIN / 2)));
}

TEST(Iso8601Test, ParsesTheWrittenFormAndRoundTrips) {
  EXPECT_EQ(Iso8601::parse("2025-03-14T09:26:53Z"), Timestamp::fromUnix(kPi));
  for (std::int64_t s : {std::int64_t{0}, kPi, std::int64_t{-1}, std::int64_t{253'402'300'799}}) {
    auto text = Iso8601::format(Timestamp::fromUnix(s));
    ASSERT_TRUE(text);
    EXPECT_EQ(Iso8601::parse(*text), Timestamp::fromUnix(s)) << *text;
  }
}

TEST(Iso8601Test, AcceptsFractionsAndNumericOffsets) {
  EXPECT_EQ(Iso8601::parse("2025-03-14T09:26:53.5Z"), Timestamp::fromUnix(kPi, 500'000'000));
  EXPECT_EQ(Iso8601::parse("2025-03-14T09:26:53.123456789Z"),
            Timestamp::fromUnix(kPi, 123'456'789));
  EXPECT_EQ(Iso8601::parse("2025-03-14T10:26:53+01:00"), Timestamp::fromUnix(kPi));
  EXPECT_EQ(Iso8601::parse("2025-03-14T04:56:53-04:30"), Timestamp::fromUnix(kPi));
  EXPECT_EQ(Iso8601::parse("0000-01-01T00:00:00Z"), Timestamp::fromUnix(-62'167'219'200));
}

TEST(Iso8601Test, RejectsEverythingElse) {
  for (const char* text : {
           "2025-03-14",            // no time
           "2025-03-14T09:26Z",     // no seconds
           "2025-03-14T09:26:53",   // no zone
           "2025-03-14 09:26:53Z",  // space instead of T
           "2025-03-14t09:26:53z",  // lower case
           "2025-02-30T00:00:00Z",  // impossible date
           "2023-02-29T00:00:00Z",  // not a leap year
           "2025-13-01T00:00:00Z",
           "2025-00-10T00:00:00Z",
           "2025-03-14T24:00:00Z",
           "2025-03-14T23:60:00Z",
           "2025-03-14T23:59:60Z",
           "2025-03-14T09:26:53.Z",  // empty fraction
           "2025-03-14T09:26:53.1234567891Z",
           "2025-03-14T09:26:53+0100",  // offset without colon
           "2025-03-14T09:26:53+24:00",
           "2025-03-14T09:26:53Zjunk",
           " 2025-03-14T09:26:53Z",
           "+2025-03-14T09:26:53Z",
           "",
       }) {
    EXPECT_FALSE(Iso8601::parse(text)) << text;
  }
}

}  // namespace
}  // namespace tarvine
