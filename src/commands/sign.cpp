// sign-attestation and sign-zip-manifest: read and check the request, load the
// key, build the manifest, sign its CBOR bytes and write the envelope. The
// request is checked before the key is touched, and nothing is written until
// the envelope is complete.

#include "commands/sign.h"

#include <optional>
#include <string_view>
#include <vector>

#include "encoding/hex.h"
#include "evidence/envelope.h"
#include "evidence/manifest.h"
#include "evidence/nvr_key.h"
#include "evidence/request.h"
#include "evidence/signature.h"
#include "fileio/clock.h"
#include "fileio/fileio.h"
#include "mp4/envelope_limit.h"

namespace {

constexpr double kDefaultFps = 2.0;

// Steps shared by both commands after the request was read: key, clock,
// digest bytes. The clock is read in every run, before --signed-at-ms is
// consulted, so a broken clock fails even when a time is given.
struct SigningContext {
  NvrKey key;
  EvidenceManifest manifest;
};

Result<SigningContext> prepare_signing(const SignOptions& options, std::string_view purpose,
                                       std::string_view source_sha256_hex,
                                       std::uint64_t source_size) {
  auto key = load_nvr_key(options.key, options.nvr_pubkey_hex);
  if (!key) return fail(key.error());
  auto now = current_time_ms();
  if (!now) return fail(now.error());
  auto digest = hex_decode(source_sha256_hex);
  if (!digest) return fail("source_sha256: " + digest.error());

  SigningContext context{std::move(*key), {}};
  EvidenceManifest& m = context.manifest;
  m.v = 1;
  m.purpose = purpose;
  m.nvr_device_id = options.nvr_device_id;
  m.nvr_key_id = options.nvr_key_id;
  m.source_hash_scope = kSourceHashScope;
  m.source_sha256 = std::move(*digest);
  m.source_size = source_size;
  m.signed_at_ms = options.signed_at_ms.value_or(*now);
  return context;
}

CommandOutcome sign_and_write(const SignOptions& options, const SigningContext& context,
                              std::string_view envelope_purpose, std::uint32_t envelope_version,
                              std::optional<std::string_view> registry_base) {
  auto signed_manifest = sign_manifest(context.manifest, context.key.scalar);
  if (!signed_manifest) return fail(signed_manifest.error());
  std::string text =
      write_envelope(envelope_purpose, envelope_version, signed_manifest->manifest_b64,
                     signed_manifest->nvr_sig_hex, context.key.public_key_hex, registry_base);
  // An envelope for the evidence box must fit it, newline included, or
  // embed-evidence and every reader would refuse it.
  if (envelope_purpose == kMp4BoxEnvelopePurpose) {
    const auto& hashes = context.manifest.phashes_hex;
    if (auto over = envelope_over_limit(text.size() + 1, hashes ? hashes->size() : 0)) {
      return fail(*over);
    }
  }
  return write_text_output(options.output, text);
}

}  // namespace

CommandOutcome run_sign_attestation(const SignOptions& options) {
  auto bytes = read_input(options.input, "attestation request");
  if (!bytes) return fail(bytes.error());
  auto request = read_attestation_request(*bytes);
  if (!request) return fail(request.error());
  auto context = prepare_signing(options, kVideoManifestPurpose, request->source_sha256_hex,
                                 request->source_size);
  if (!context) return fail(context.error());

  // Hashes, rate and sampler travel together: a request with a rate but no
  // hashes signs a manifest without any of them.
  if (request->phashes_hex && !request->phashes_hex->empty()) {
    EvidenceManifest& m = context->manifest;
    m.phashes_hex = std::move(request->phashes_hex);
    m.fps = request->fps.value_or(kDefaultFps);
    m.sampler = video_sampler();
  }
  return sign_and_write(options, *context, kMp4BoxEnvelopePurpose, 2, std::string_view{});
}

CommandOutcome run_sign_zip_manifest(const SignOptions& options) {
  auto bytes = read_input(options.input, "zip manifest request");
  if (!bytes) return fail(bytes.error());
  auto request = read_case_attestation_request(*bytes);
  if (!request) return fail(request.error());
  auto context = prepare_signing(options, kCaseManifestPurpose, request->source_sha256_hex,
                                 request->source_size);
  if (!context) return fail(context.error());
  return sign_and_write(options, *context, kZipManifestEnvelopePurpose, 1, std::nullopt);
}
