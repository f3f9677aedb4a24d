// The program's entry: ignore SIGPIPE so a closed pipe becomes a write error,
// run the dispatcher, and turn its outcome into the exit status. Running out
// of memory anywhere is a failure like any other, not an abort.

#include <csignal>
#include <string>
#include <vector>

#include <unistd.h>

#include "commands/dispatch.h"
#include "fileio/fd.h"

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  CommandOutcome outcome = catching_out_of_memory([&] { return dispatch(args); });
  if (outcome) return 0;
  // A failure to write standard error itself has nowhere left to be reported.
  (void)write_all(STDERR_FILENO, "error: " + outcome.error() + "\n");
  return 1;
}
