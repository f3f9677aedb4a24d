// The index command: adds checked evidence to an archive index, lists what
// it holds and removes recordings. Evidence is judged as match judges it;
// a file that cannot be indexed is refused and reported, and the others go
// on, so one damaged export does not stop the indexing of an archive.

#include "commands/index.h"

#include <algorithm>
#include <string_view>

#include "encoding/decimal.h"
#include "evidence/json_doc.h"
#include "evidence/pinned_keys.h"
#include "fileio/fileio.h"
#include "fileio/path_walk.h"
#include "fileio/progress.h"
#include "index/evidence_recording.h"
#include "index/index_store.h"
#include "index/recording_document.h"
#include "verification/signed_evidence.h"
#include "verification/unsigned_members.h"

namespace {

// Evidence MP4 files and envelope documents.
constexpr std::string_view kEvidenceSuffixes[] = {".mp4", ".m4v", ".mov", ".json"};

// The recording of one evidence file, checked as match checks evidence.
Result<NewRecording> checked_recording(const WalkedFile& file, const PinnedKeys& pinned) {
  if (!file.error.empty()) return fail(file.error);
  auto evidence = load_signed_evidence(InputSource::file(file.path));
  if (!evidence) return fail(evidence.error());
  if (auto unpinned = unpinned_key(evidence->envelope, pinned)) return fail(*unpinned);
  return recording_from_evidence(evidence->envelope, evidence->manifest, file.path,
                                 evidence->binding);
}

struct AddTally {
  std::uint64_t added = 0, already = 0, refused = 0;
  std::string lines;
};

void add_one(IndexWriter& writer, const WalkedFile& file, const PinnedKeys& pinned,
             AddTally& tally) {
  nlohmann::json line = {{"evidence", file.path}};
  auto recording = checked_recording(file, pinned);
  Result<AddOutcome> outcome = fail(recording ? std::string() : recording.error());
  if (recording) {
    outcome = writer.add(*recording);
    line["manifest_sha256_hex"] = recording->info.manifest_sha256;
    line["phash_count"] = recording->info.hash_count;
  }
  if (!outcome) {
    line["status"] = "refused";
    line["error"] = outcome.error();
    ++tally.refused;
    status("warning: " + file.path + " was not indexed: " + outcome.error());
  } else if (*outcome == AddOutcome::Added) {
    line["status"] = "added";
    ++tally.added;
  } else {
    line["status"] = "already_indexed";
    ++tally.already;
  }
  tally.lines += (tally.lines.empty() ? "" : "\n") + json_line(line);
}

CommandOutcome add(const IndexOptions& o) {
  auto pinned = PinnedKeys::load(o.nvr_pubkey_hex, o.nvr_pubkeys_files);
  if (!pinned) return fail(pinned.error());
  auto files = walk_paths(o.arguments, {.recursive = o.recursive, .suffixes = kEvidenceSuffixes});
  if (!files) return fail(files.error());
  auto writer = IndexWriter::open(o.index);
  if (!writer) return fail(writer.error());
  keep_freed_memory();
  AddTally tally;
  StatusLine progress;
  for (std::size_t i = 0; i < files->size(); ++i) {
    if (progress.due()) {
      progress.draw("  indexing " + std::to_string(i + 1) + " of " + std::to_string(files->size()) +
                    " files");
    }
    add_one(*writer, (*files)[i], *pinned, tally);
  }
  progress.clear();
  if (auto flushed = writer->flush(); !flushed) return flushed;
  if (o.output_given) {
    if (auto written = write_lines_output(o.output, tally.lines); !written) return written;
  }
  status("==> " + counted(files->size(), "file", "files") + ": " + std::to_string(tally.added) +
         " added, " + std::to_string(tally.already) + " already indexed, " +
         std::to_string(tally.refused) + " refused; index " + o.index);
  if (tally.refused > 0) {
    return fail(std::to_string(tally.refused) + " of " +
                counted(files->size(), "evidence file was", "evidence files were") + " refused");
  }
  return {};
}

CommandOutcome list(const IndexOptions& o) {
  auto recordings = list_recordings(o.index);
  if (!recordings) return fail(recordings.error());
  std::string lines;
  for (const RecordingInfo& r : *recordings) {
    lines += (lines.empty() ? "" : "\n") + json_line(recording_document(r));
  }
  if (auto written = write_lines_output(o.output, lines); !written) return written;
  status("==> " + counted(recordings->size(), "recording", "recordings") + " in " + o.index);
  return {};
}

CommandOutcome remove(const IndexOptions& o) {
  auto writer = IndexWriter::open(o.index, false);
  if (!writer) return fail(writer.error());
  std::size_t missing = 0;
  for (const std::string& digest : o.arguments) {
    // Hex is read in either case; the catalogue holds it lowercase.
    std::string lower = digest;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return c >= 'A' && c <= 'F' ? static_cast<char>(c + 32) : c; });
    auto removed = writer->remove(lower);
    if (!removed) return fail(removed.error());
    if (!*removed) {
      status("warning: " + digest + " is not in the index");
      ++missing;
    }
  }
  status("==> removed " + counted(o.arguments.size() - missing, "recording", "recordings") +
         " from " + o.index);
  if (missing > 0) {
    return fail(counted(missing, "recording was", "recordings were") + " not in the index");
  }
  return {};
}

}  // namespace

CommandOutcome run_index(const IndexOptions& options) {
  switch (options.action) {
    case IndexOptions::Action::Add:
      return add(options);
    case IndexOptions::Action::List:
      return list(options);
    case IndexOptions::Action::Remove:
      return remove(options);
  }
  return {};
}
