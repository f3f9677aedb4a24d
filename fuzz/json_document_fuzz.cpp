// The strict JSON document reader on arbitrary bytes. An accepted document
// must survive the strict writer and read back equal; a record checked
// against its field specs must serve every getter without throwing.

#include <array>
#include <nlohmann/json.hpp>

#include "evidence/json_doc.h"
#include "fuzz_util.h"

namespace {

constexpr std::array<JsonFieldSpec, 6> kFields = {{
    {"v", JsonFieldKind::U32},
    {"size", JsonFieldKind::U64},
    {"name", JsonFieldKind::String},
    {"base", JsonFieldKind::OptionalString},
    {"fps", JsonFieldKind::OptionalF64},
    {"hashes", JsonFieldKind::OptionalStringList},
}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto document = fuzz::timed(size, [&] { return parse_json_document({data, size}); });
  if (!document) {
    fuzz::require_message(document.error());
    return 0;
  }
  std::string text;
  try {
    text = document->value.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
  } catch (const nlohmann::json::exception& e) {
    fuzz::broken(std::string("an accepted document does not write: ") + e.what());
  }
  auto again = parse_json_document(fuzz::as_bytes(text));
  fuzz::require(again.has_value() && again->value == document->value,
                "an accepted document does not read back equal");

  auto record = read_json_struct(*document, "Fuzz", kFields);
  if (!record) {
    fuzz::require_message(record.error());
    return 0;
  }
  (void)record->u32("v");
  (void)record->u64("size");
  (void)record->string("name");
  (void)record->optional<std::string>("base");
  (void)record->optional<double>("fps");
  (void)record->optional<std::vector<std::string>>("hashes");
  return 0;
}
