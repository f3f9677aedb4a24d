#pragma once
// Many independent items worked on by forked worker processes: the parent
// hands each worker one item at a time and takes the answers in the order
// they are finished, so a long item holds up only its own worker, and a
// worker that crashes costs its item and nothing else.

#include <cstddef>
#include <functional>
#include <string>

#include "result.h"

/// The processors online here, at least 1.
unsigned online_processors();

/// A worker's text for an item, or why the worker ended without one.
using WorkerAnswer = Result<std::string>;

/// Runs `work` on items 0 to count-1 in up to `workers` processes forked from
/// this one (so they see everything it holds), and calls `done` here with
/// each item's answer in the order the answers arrive. Workers read nothing
/// and write nothing on the standard streams. A worker that ends without
/// answering answers "worker process ended without an answer (...)" and is
/// replaced. Fails with the first failure of `done`, or when no worker can be
/// started; every worker is gone when this returns.
Result<void> run_in_workers(std::size_t count, unsigned workers,
                            const std::function<std::string(std::size_t)>& work,
                            const std::function<Result<void>(std::size_t, WorkerAnswer)>& done);
