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

TEST(StatusTest, AFailureAlwaysHasAKindThatIsNotSuccess) {
  const struct {
    Status status;
    Status::Kind kind;
  } cases[] = {
      {Status(), Status::Kind::ok},
      {Status::error("no errno"), Status::Kind::failed},
      {Status::error("with errno", 2), Status::Kind::io},
      {Status::failure(Status::Kind::notWatched, "outside"), Status::Kind::notWatched},
      // Asked to fail as "ok", it still fails.
      {Status::failure(Status::Kind::ok, ""), Status::Kind::failed},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.status.kind(), c.kind) << c.status.message();
    EXPECT_EQ(c.status.ok(), c.kind == Status::Kind::ok) << c.status.message();
  }
  EXPECT_EQ(Status::kindName(Status::Kind::noEarlierVersion), "noEarlierVersion");
  Result<int> failed = Status::failure(Status::Kind::damaged, "broken");
  EXPECT_EQ(failed.status().kind(), Status::Kind::damaged);
}

}  // namespace
}  // namespace tarvine
