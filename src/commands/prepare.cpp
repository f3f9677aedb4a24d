// prepare-attestation: hashes the recording's bytes and, when asked, gathers
// PDQ hashes of its frames (sampled through ffmpeg, or from a list made
// elsewhere), then writes the attestation request. Nothing is written until
// every step has succeeded, and never over the recording itself.

#include "commands/prepare.h"

#include <pdq/pdq.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <limits>

#include "encoding/decimal.h"
#include "encoding/text.h"
#include "evidence/pdq_hash_list.h"
#include "evidence/request.h"
#include "fileio/fd.h"
#include "fileio/fileio.h"
#include "fileio/progress.h"
#include "fileio/same_file.h"
#include "mp4/box_scanner.h"
#include "mp4/envelope_limit.h"
#include "sampling/frame_sampler.h"

namespace {

// What to do instead when a recording has no video to sample.
constexpr std::string_view kAttestBytesAlone =
    "; leave out --with-pdq and --fps to attest its bytes alone";

Result<std::string> read_hash_text(int fd) {
  std::vector<std::uint8_t> bytes;
  if (auto read = read_to_end(fd, bytes); !read) return fail("read PDQ hashes: " + read.error());
  std::string text(bytes.begin(), bytes.end());
  if (!is_valid_utf8(text)) return fail("read PDQ hashes: stream did not contain valid UTF-8");
  return text;
}

Result<std::string> read_hash_source(const InputSource& source) {
  if (source.is_stdin()) {
    status("==> reading PDQ hashes from stdin");
    return read_hash_text(STDIN_FILENO);
  }
  status("==> reading PDQ hashes from " + source.path);
  Fd file(::open(source.path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) return fail("open " + source.path + ": " + format_io_error(errno));
  return read_hash_text(file.get());
}

// The hashes into `hashes`; what sampling learnt of the video, when frames
// were sampled.
Result<FrameSampling> gather_hashes(const PrepareOptions& options,
                                    std::vector<std::string>& hashes) {
  if (options.pdq_hashes) {
    auto text = read_hash_source(*options.pdq_hashes);
    if (!text) return fail(text.error());
    auto list = read_pdq_hash_list(*text);
    if (!list) return fail(list.error());
    hashes = std::move(*list);
    return FrameSampling{};
  }
  status("==> ffmpeg sampling + PDQ hashing");
  pdq::Hasher hasher;
  auto hash_frame = [&](std::span<const std::uint8_t> frame) -> Result<void> {
    auto hash = hasher.hash_rgba_frame(frame);
    if (!hash) return fail(hash.error().message());
    hashes.push_back(std::move(*hash));
    return {};
  };
  return sample_frames(options.input, recorder_frames(options.fps), hash_frame, kAttestBytesAlone);
}

// The request is still written (the file is the recorder's to fix), but the
// recorder learns before signing that embed-evidence will refuse it: an
// empty source, since no manifest binds one, or boxes no reader could use.
// A pipe's boxes can't be walked ahead of the hash.
void warn_if_not_appendable(const OpenFile& source) {
  if (!source.is_regular) return;
  Result<void> appendable = source.size == 0 ? fail("recording is empty")
                                             : check_appendable_source(source.fd.get(), source.size);
  if (!appendable) {
    status("warning: embed-evidence will refuse " + source.path + ": " + appendable.error());
  }
}

}  // namespace

CommandOutcome prepare_attestation(const PrepareOptions& options) {
  // Writing the request over the recording (or appending it through a
  // redirected stdout) would destroy the evidence, so this is refused before
  // anything is read or printed.
  if (lands_on(options.output, options.input)) return fail(std::string(kOutputIsInputMessage));
  // Sampling reads the recording twice (SHA-256, then ffmpeg); a pipe would
  // be drained by the first pass and leave ffmpeg waiting for ever.
  if (options.with_pdq && !options.pdq_hashes) {
    struct stat st {};
    if (::stat(options.input.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      return fail("PDQ sampling needs a regular file: " + options.input +
                  " is read twice (SHA-256, then ffmpeg); give --pdq-hashes for a stream");
    }
  }

  if (options.with_pdq) {
    status("==> prepare attestation for " + options.input + " as \"" + options.name + "\" @ " +
           format_decimal(options.fps) + " fps");
  } else {
    status("==> prepare exact-only attestation for " + options.input + " as \"" + options.name +
           "\"");
  }

  // One descriptor for the box walk and the hash, so the file checked is the
  // file hashed.
  auto source = open_file(options.input);
  if (!source) return fail(source.error());
  warn_if_not_appendable(*source);
  Progress hashing("hashing");
  auto digest = sha256_stream(source->fd.get(), std::numeric_limits<std::uint64_t>::max(),
                              options.input, &hashing);
  if (!digest) return fail(digest.error());
  status("==> source bytes: " + std::to_string(digest->size) +
         " bytes, sha256=" + digest->sha256_hex.substr(0, 24) + "...");

  AttestationRequest request;
  request.name = options.name;
  request.source_sha256_hex = digest->sha256_hex;
  request.source_size = digest->size;
  if (!options.with_pdq) {
    status("==> skipping PDQ hashing");
  } else {
    std::vector<std::string> hashes;
    auto gathered = gather_hashes(options, hashes);
    if (!gathered) return fail(gathered.error());
    if (hashes.empty()) {
      const std::string& reason = gathered->no_frames_reason;
      return fail("no PDQ hashes produced" + (reason.empty() ? "" : ": " + reason));
    }
    if (gathered->native_width && gathered->native_height) {
      status("==> native resolution: " + std::to_string(*gathered->native_width) + "x" +
             std::to_string(*gathered->native_height) + " -> " + std::to_string(pdq::kFrameSide) +
             "x" + std::to_string(pdq::kFrameSide) + " RGBA");
    }
    status("==> " + std::to_string(hashes.size()) + " PDQ hashes");
    // Still written: other systems may consume the request.
    if (auto over = hash_list_over_limit(digest->size, options.fps, hashes.size())) {
      (void)write_all(STDERR_FILENO, *over);
    }
    request.fps = options.fps;
    request.native_width = gathered->native_width;
    request.native_height = gathered->native_height;
    request.phashes_hex = std::move(hashes);
  }
  return write_text_output(options.output, write_attestation_request(request));
}
