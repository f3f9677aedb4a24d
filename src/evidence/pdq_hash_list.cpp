// Reads a PDQ hash list line by line: a hash as 64 hex digits, or a JSON line
// with a hash_hex member. Every hash must pass the rule a request's hashes
// pass, so a list never yields a request that sign-attestation would refuse.

#include "evidence/pdq_hash_list.h"

#include <cstdint>
#include <span>

#include "encoding/text.h"
#include "evidence/json_doc.h"
#include "evidence/request.h"

namespace {

// A line's hash text: the line itself, or the hash_hex member of a JSON line.
Result<std::string> hash_text_of_line(std::string_view line, std::size_t number) {
  if (!line.starts_with('{')) return std::string(line);
  const std::string label = std::to_string(number);
  auto document = parse_json_document(
      std::span(reinterpret_cast<const std::uint8_t*>(line.data()), line.size()));
  if (!document) return fail("parse JSONL hash line " + label + ": " + document.error());
  auto member = document->value.find("hash_hex");
  if (member == document->value.end() || !member->is_string())
    return fail("JSONL hash line " + label + " missing hash_hex");
  return member->get<std::string>();
}

}  // namespace

Result<std::vector<std::string>> read_pdq_hash_list(std::string_view text) {
  std::vector<std::string> hashes;
  std::size_t number = 0;
  while (!text.empty()) {
    ++number;
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    line = trim_unicode_whitespace(line);  // also takes the CR of a CRLF break
    if (line.empty()) continue;
    auto hash = hash_text_of_line(line, number);
    if (!hash) return fail(hash.error());
    if (auto ok = check_pdq_hash_text(*hash); !ok)
      return fail("line " + std::to_string(number) + ": " + ok.error());
    hashes.push_back(std::move(*hash));
  }
  return hashes;
}
