// The confidence command: three numbers from a frame-matching run in, one
// word out.

#include "commands/confidence.h"

#include "encoding/decimal.h"
#include "fileio/fileio.h"
#include "matching/confidence.h"

namespace {

// The argument at `index`, or the "missing" message naming it.
Result<std::string_view> argument(std::span<const std::string> args, std::size_t index,
                                  std::string_view name) {
  if (index >= args.size()) return fail("missing " + std::string(name));
  return std::string_view(args[index]);
}

Result<std::uint32_t> frame_count(std::span<const std::string> args, std::size_t index,
                                  std::string_view name) {
  auto text = argument(args, index, name);
  if (!text) return fail(text.error());
  auto value = parse_u32(*text);
  if (!value) return fail("invalid " + std::string(name) + ": " + value.error());
  return *value;
}

}  // namespace

CommandOutcome run_confidence(std::span<const std::string> args) {
  auto matched = frame_count(args, 0, "matched_frames");
  if (!matched) return fail(matched.error());
  auto total = frame_count(args, 1, "total_query_frames");
  if (!total) return fail(total.error());
  auto distance_text = argument(args, 2, "avg_distance");
  if (!distance_text) return fail(distance_text.error());
  auto distance = parse_double(*distance_text);
  if (!distance) return fail("invalid avg_distance: " + distance.error());
  if (args.size() > 3) return fail("unexpected extra arguments");
  ConfidenceLevel level = classify_confidence(*matched, *total, *distance);
  return write_text_output(OutputTarget::stdout_target(), confidence_word(level));
}
