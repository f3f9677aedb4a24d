// Runs the built program and compares its streams and exit status byte for byte.

#include <gtest/gtest.h>

#include "test_util.h"

using test_util::run;

TEST(Cli, NoArgumentsPrintsUsage) {
  auto r = run({});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.size(), 1016u);
  EXPECT_TRUE(r.err.starts_with("usage:\n  vorlant-verify prepare-attestation"));
}

TEST(Cli, UnknownCommand) {
  auto r = run({"Verify"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "error: unknown command: Verify\n");
}
