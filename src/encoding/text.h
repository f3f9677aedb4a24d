#pragma once
// Unicode text helpers shared by the readers: White_Space trimming and
// removal, UTF-8 validity, and lossy conversion of file names.

#include <string>
#include <string_view>

/// The text without leading and trailing Unicode White_Space characters.
std::string_view trim_unicode_whitespace(std::string_view text);
/// The text with every Unicode White_Space character removed.
std::string remove_unicode_whitespace(std::string_view text);
/// True when the bytes are well-formed UTF-8.
bool is_valid_utf8(std::string_view bytes);
/// The bytes as UTF-8 with each invalid sequence replaced by U+FFFD.
std::string to_lossy_utf8(std::string_view bytes);
