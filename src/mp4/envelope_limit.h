#pragma once
// The size limit of the evidence box, applied where envelopes are made: a
// signed envelope that no reader would accept is refused when it is signed,
// and a request whose hashes alone would make one is flagged when prepared.

#include <cstdint>
#include <optional>
#include <string>


/// The refusal of an envelope of `envelope_bytes` (as written, with its final
/// newline) that is over the evidence box's limit, or nothing when it fits.
std::optional<std::string> envelope_over_limit(std::uint64_t envelope_bytes,
                                               std::size_t hash_count);

/// The warning line for a request whose hashes alone would make every signed
/// envelope too large for the evidence box (even with empty device and key
/// ids), naming how many hashes fit and a frame rate that fits this
/// recording; nothing when they fit.
std::optional<std::string> hash_list_over_limit(std::uint64_t source_size, double fps,
                                                std::size_t hash_count);
