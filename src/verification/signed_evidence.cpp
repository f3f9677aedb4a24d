// Loads the signed evidence that a clip is compared with. An evidence MP4 is
// found and judged as verify judges it; only its source binding may fail,
// since the signed hashes stay meaningful for a damaged original.

#include "verification/signed_evidence.h"

#include <array>
#include <vector>

#include "evidence/checked_envelope.h"
#include "fileio/fd.h"
#include "fileio/fileio.h"
#include "verification/verification_report.h"

namespace {

// An envelope document begins, after JSON white space, with "{" or "[";
// an MP4 file begins with a box size, whose first byte is never one of them
// for a box under 2 GiB.
Result<bool> starts_like_json(const OpenFile& file) {
  std::array<std::uint8_t, 64> head{};
  auto n = read_up_to_at(file.fd.get(), 0, head, file.path);
  if (!n) return fail(n.error());
  for (std::size_t i = 0; i < *n; ++i) {
    const std::uint8_t c = head[i];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
    return c == '{' || c == '[';
  }
  return true;  // empty or blank: let the envelope reader say what is wrong
}

Result<SignedEvidence> evidence_from_document(std::span<const std::uint8_t> bytes) {
  auto checked = check_envelope_document(bytes);
  if (!checked) return fail(checked.error());
  return SignedEvidence{std::move(checked->envelope),
                        std::move(checked->manifest),
                        SourceBinding::NotChecked,
                        {}};
}

// Found and judged as verify does; only a binding that does not hold leaves
// the hashes usable, since the examiner may hold a damaged original.
Result<SignedEvidence> evidence_from_mp4(const OpenFile& file) {
  VerificationReport r = build_verification_report(file);
  if (!r.box || r.signature != VerificationReport::Signature::Valid || !r.manifest) {
    return fail(r.detail);
  }
  return SignedEvidence{std::move(r.box->envelope), std::move(*r.manifest),
                        r.binding_holds ? SourceBinding::Ok : SourceBinding::Fail,
                        r.binding_holds ? std::string() : r.detail};
}

}  // namespace

Result<SignedEvidence> load_signed_evidence(const InputSource& source) {
  if (source.is_stdin()) {
    auto bytes = read_input(source, "evidence envelope");
    if (!bytes) return fail(bytes.error());
    return evidence_from_document(*bytes);
  }
  auto file = open_file(source.path);
  if (!file) return fail(file.error());
  // A pipe can only hold a document: the box walk needs positioned reads.
  if (file->is_regular) {
    auto json = starts_like_json(*file);
    if (!json) return fail(json.error());
    if (!*json) return evidence_from_mp4(*file);
  }
  std::vector<std::uint8_t> bytes;
  if (auto read = read_to_end(file->fd.get(), bytes); !read) {
    return fail("read " + source.path + ": " + read.error());
  }
  return evidence_from_document(bytes);
}
