#pragma once
// hash-frame-rgba and hash-raw-rgba: PDQ hashes of raw 512x512 RGBA frames
// read from an input descriptor, one line per frame on an output descriptor.

#include <cstdint>
#include <string>
#include <string_view>

#include "commands/options.h"
#include "result.h"

/// hash-frame-rgba and hash-raw-rgba on the process's standard streams.
CommandOutcome run_hash_frame_rgba(const HashOptions& options);
CommandOutcome run_hash_raw_rgba(const HashOptions& options);

/// 256 characters "0" and "1": each hash byte from its highest bit down.
std::string hash_bit_string(std::string_view hash_hex);
/// The line for one hash in the chosen format, newline included, so one
/// write puts it out whole.
std::string format_hash_line(std::uint64_t index, std::string_view hash_hex, HashFormat format);

/// Hashes exactly one frame; "failed to fill whole buffer" when the input is
/// shorter, "hash-frame-rgba expects exactly one 512x512 RGBA frame" when it
/// is longer.
CommandOutcome hash_single_frame(int input, int output, HashFormat format);
/// Hashes frames until the input ends, writing each line as soon as its frame
/// is hashed; progress lines go to standard error. A partial last frame fails
/// with "truncated raw RGBA frame: got N of 1048576 bytes".
CommandOutcome hash_frame_stream(int input, int output, bool progress, HashFormat format);
