#include "foundation/Base64.h"

#include <gtest/gtest.h>

namespace tarvine {
namespace {

Data bytes(std::string_view text) { return Data(text.begin(), text.end()); }

TEST(Base64Test, EncodesRfc4648Vectors) {
  EXPECT_EQ(Base64::encode(bytes("")), "");
  EXPECT_EQ(Base64::encode(bytes("f")), "Zg==");
  EXPECT_EQ(Base64::encode(bytes("fo")), "Zm8=");
  EXPECT_EQ(Base64::encode(bytes("foo")), "Zm9v");
  EXPECT_EQ(Base64::encode(bytes("foobar")), "Zm9vYmFy");
  EXPECT_EQ(Base64::encode(Data{0xFB, 0xFF, 0xBF}), "+/+/");
}

TEST(Base64Test, DecodesWhatItEncodes) {
  Data all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<std::uint8_t>(i));
  for (std::size_t n = 0; n < all.size(); n += 37) {
    Data slice(all.begin(), all.begin() + static_cast<long>(n));
    EXPECT_EQ(Base64::decode(Base64::encode(slice)), slice);
  }
}

TEST(Base64Test, RejectsMalformedText) {
  EXPECT_FALSE(Base64::decode("Zg"));          // unpadded
  EXPECT_FALSE(Base64::decode("Zg=a"));        // data after padding
  EXPECT_FALSE(Base64::decode("Z==="));        // too much padding
  EXPECT_FALSE(Base64::decode("Zm9v\nYmFy"));  // line break
  EXPECT_FALSE(Base64::decode("Zm-_"));        // URL-safe alphabet
  EXPECT_FALSE(Base64::decode("Zg==Zg=="));    // padding in the middle
  EXPECT_EQ(Base64::decode(""), Data{});
}

}  // namespace
}  // namespace tarvine
