#pragma once
// Whether the bytes before an evidence box are the signed source: checked on
// an evidence MP4; an envelope document has no source bytes to check.

#include <string_view>

enum class SourceBinding { NotChecked, Ok, Fail };

/// "not_checked", "ok" or "fail".
constexpr std::string_view source_binding_word(SourceBinding binding) {
  switch (binding) {
    case SourceBinding::NotChecked:
      return "not_checked";
    case SourceBinding::Ok:
      return "ok";
    case SourceBinding::Fail:
      return "fail";
  }
  return "not_checked";
}
