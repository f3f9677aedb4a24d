// The embed-evidence command: checks an envelope, its manifest and signature,
// appends it to the recording as an evidence box, and writes a summary of
// what was embedded. Guards against writing over the input run first.

#include "commands/embed.h"

#include <unistd.h>

#include <nlohmann/json.hpp>

#include "verification/document_members.h"
#include "verification/unsigned_members.h"
#include "evidence/checked_envelope.h"
#include "evidence/json_doc.h"
#include "fileio/fileio.h"
#include "fileio/same_file.h"
#include "mp4/box_scanner.h"
#include "mp4/evidence_box.h"
#include "mp4/evidence_writer.h"

namespace {

// Refuses, before anything is read or written, every output that would land
// on the input file or on the other output.
CommandOutcome check_paths(const EmbedOptions& o) {
  if (lands_on(o.output, o.input)) return fail(std::string(kOutputIsInputMessage));
  if (o.output.kind == OutputTarget::Kind::Stdout && ::isatty(STDOUT_FILENO)) {
    return fail(
        "refusing to write the evidence file to a terminal: give --output PATH or redirect "
        "standard output");
  }
  if (lands_on(o.summary, o.input) || share_a_file(o.summary, o.output)) {
    return fail("summary path must differ from input and output paths");
  }
  return {};
}

}  // namespace

std::string EmbedSummary::to_json() const {
  nlohmann::json s = {
      {"input", input}, {"output", output}, {"purpose", "zq.evidence.embed_summary.v1"}, {"v", 1}};
  add_envelope_members(s, envelope, evidence_box_bytes);
  add_manifest_members(s, manifest);
  return json_text(s);
}

CommandOutcome run_embed_evidence(const EmbedOptions& options) {
  if (auto r = check_paths(options); !r) return r;
  auto bytes = read_input(options.envelope, "evidence envelope");
  if (!bytes) return fail(bytes.error());
  auto checked = check_envelope_document(*bytes);
  if (!checked) return fail(checked.error());
  auto& [envelope, manifest] = *checked;
  // verify would refuse the evidence file, so it is not made.
  if (auto mismatch = unsigned_fps_mismatch(envelope, manifest)) return fail(*mismatch);
  // The box carries the envelope exactly as signed and read, never re-serialised.
  auto box = build_evidence_box(*bytes);
  if (!box) return fail(box.error());

  // One descriptor for the structure check, the copy and its hash, so the
  // file that was checked is the file that is copied.
  auto source = open_file(options.input);
  if (!source) return fail(source.error());
  if (auto r = check_appendable_source(source->fd.get(), source->size); !r) return r;
  const bool to_path = options.output.kind == OutputTarget::Kind::Path;
  const std::string shown = to_path ? options.output.path : "stdout";
  auto written = to_path ? write_evidence_file(*source, options.output.path, *box, manifest)
                         : stream_evidence_to_stdout(*source, *box, manifest);
  if (!written) return fail(written.error());
  status("==> wrote " + shown + " (+" + std::to_string(box->size()) + " bytes uuid box)");
  const EmbedSummary summary{options.input, shown, box->size(), std::move(envelope),
                             std::move(manifest)};
  return write_text_output(options.summary, summary.to_json());
}
