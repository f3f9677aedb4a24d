// The worker processes behind audit: every item answered exactly once, in
// whatever order, a crashing worker costing only its own item, and the
// parent's refusal of an answer stopping the run with nothing left behind.

#include "fileio/worker_pool.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>

namespace {

TEST(WorkerPool, EveryItemAnsweredOnceAndACrashCostsOnlyItsItem) {
  std::map<std::size_t, WorkerAnswer> answers;
  auto run = run_in_workers(
      12, 3,
      [](std::size_t item) {
        if (item == 4) ::raise(SIGKILL);
        return "item " + std::to_string(item) + " in " + std::to_string(::getpid());
      },
      [&](std::size_t item, WorkerAnswer answer) -> Result<void> {
        EXPECT_FALSE(answers.contains(item)) << item;
        answers.emplace(item, std::move(answer));
        return {};
      });
  ASSERT_TRUE(run) << run.error();
  ASSERT_EQ(answers.size(), 12u);
  for (const auto& [item, answer] : answers) {
    if (item == 4) {
      ASSERT_FALSE(answer);
      EXPECT_EQ(answer.error(), "worker process ended without an answer (signal 9)");
      continue;
    }
    ASSERT_TRUE(answer) << item;
    // Worked on elsewhere, not in this process.
    EXPECT_TRUE(answer->starts_with("item " + std::to_string(item) + " in ")) << *answer;
    EXPECT_FALSE(answer->ends_with(" " + std::to_string(::getpid()))) << *answer;
  }
  // Every worker was reaped: none is left for this process to wait for.
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
}

TEST(WorkerPool, ARefusedAnswerStopsTheRun) {
  std::size_t taken = 0;
  auto run = run_in_workers(
      100, 2, [](std::size_t item) { return std::to_string(item); },
      [&](std::size_t, WorkerAnswer) -> Result<void> {
        if (++taken == 3) return fail("write stdout: Broken pipe (os error 32)");
        return {};
      });
  ASSERT_FALSE(run);
  EXPECT_EQ(run.error(), "write stdout: Broken pipe (os error 32)");
  EXPECT_EQ(taken, 3u);
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
}

}  // namespace
