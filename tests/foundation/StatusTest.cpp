#include "foundation/Status.h"

#include <gtest/gtest.h>

namespace tarvine {
namespace {

TEST(ResultDeathTest, AskingAFailureForItsValueEndsTheProcessWithItsMessage) {
  Result<int> failed = Status::error("the file is gone");
  EXPECT_DEATH((void)failed.value(), "the file is gone");
  EXPECT_DEATH((void)*failed, "the file is gone");
  Result<int> fine = 7;
  EXPECT_EQ(fine.value(), 7);
}

}  // namespace
}  // namespace tarvine
