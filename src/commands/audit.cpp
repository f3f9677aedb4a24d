// The audit command: judges every evidence file of a case folder or an
// archive as verify judges it, in worker processes, one JSON line per file
// as each is done, and leaves out what an earlier run of the same audit
// already recorded, so a killed run is picked up where it stopped.

#include "commands/audit.h"

#include <unistd.h>

#include <string_view>
#include <vector>

#include "evidence/pinned_keys.h"
#include "fileio/fd.h"
#include "fileio/path_walk.h"
#include "fileio/progress.h"
#include "fileio/same_file.h"
#include "fileio/worker_pool.h"
#include "verification/audit_journal.h"
#include "verification/audit_line.h"
#include "verification/audit_tally.h"
#include "verification/unsigned_members.h"

namespace {

constexpr std::string_view kRecordingSuffixes[] = {".mp4", ".m4v", ".mov"};

// This run's set: the walked files in this node's share, none of them the output.
Result<std::vector<WalkedFile>> audited_files(const AuditOptions& o) {
  auto files = walk_paths(o.paths, {.recursive = o.recursive, .suffixes = kRecordingSuffixes});
  if (!files) return fail(files.error());
  std::erase_if(*files, [&](const WalkedFile& f) { return !in_shard(f.path, o.shard); });
  // Lines appended to an evidence file would destroy it.
  if (lands_on_any(o.output, *files)) return fail(std::string(kOutputIsInputMessage));
  return files;
}

// A file recorded by an earlier run and unchanged since is counted, not
// judged again.
std::vector<std::size_t> files_to_judge(const std::vector<WalkedFile>& files,
                                        const AuditJournal& journal, AuditTally& tally) {
  std::vector<std::size_t> pending;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const AuditRecord* record = journal.recorded(files[i].path);
    if (record && record->stamp == files[i].stamp) {
      tally.add_recorded(record->status);
    } else {
      pending.push_back(i);
    }
  }
  return pending;
}

// The line to keep for a file: the worker's, or an error line when the
// worker ended without one.
std::pair<std::string, AuditRecord> line_for(const WalkedFile& file, WorkerAnswer answer) {
  std::string line =
      answer ? std::move(*answer) : audit_error_line(file.path, answer.error(), file.stamp);
  if (auto record = read_audit_line(line)) return {std::move(line), std::move(*record)};
  line = audit_error_line(file.path, "worker process answered no audit line", file.stamp);
  return {line, *read_audit_line(line)};
}

// Judges the pending files in worker processes and keeps each line as it
// comes, redrawing the progress line (blanked before a line that goes to
// standard output, which may be the same terminal).
Result<void> judge(const std::vector<WalkedFile>& files, const std::vector<std::size_t>& pending,
                   const PinnedKeys& pinned, unsigned jobs, AuditJournal& journal,
                   AuditTally& tally) {
  StatusLine progress;
  auto work = [&](std::size_t k) {
    const WalkedFile& file = files[pending[k]];
    return file.error.empty() ? audit_file(file.path, pinned)
                              : audit_error_line(file.path, file.error, file.stamp);
  };
  auto keep = [&](std::size_t k, WorkerAnswer answer) -> Result<void> {
    auto [line, record] = line_for(files[pending[k]], std::move(answer));
    if (journal.to_stdout()) progress.clear();
    if (auto r = journal.append(line); !r) return r;
    const bool read = record.status != AuditStatus::Error && record.stamp;
    tally.add_judged(record.status, read ? record.stamp->size : 0);
    if (progress.due()) progress.draw(tally.progress_text());
    return {};
  };
  return run_in_workers(pending.size(), jobs, work, keep);
}

}  // namespace

CommandOutcome run_audit(const AuditOptions& options) {
  auto pinned = PinnedKeys::load(options.nvr_pubkey_hex, options.nvr_pubkeys_files);
  if (!pinned) return fail(pinned.error());
  auto files = audited_files(options);
  if (!files) return fail(files.error());
  auto journal = AuditJournal::open(options.output, options.resume);
  if (!journal) return fail(journal.error());
  AuditTally tally(files->size());
  const std::vector<std::size_t> pending = files_to_judge(*files, *journal, tally);
  const unsigned jobs = options.jobs.value_or(online_processors());
  if (auto judged = judge(*files, pending, *pinned, jobs, *journal, tally); !judged) return judged;
  // Once for the whole set, however many files passed.
  if (tally.any_ok()) (void)write_all(STDERR_FILENO, not_authenticated_warning(!pinned->empty()));
  (void)write_all(STDERR_FILENO, tally.summary_line(journal->place()));
  if (!tally.all_ok()) return fail(tally.failure_message());
  return {};
}
