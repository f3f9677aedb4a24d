#pragma once
// A result or one message: the way every failure travels in this program.

#include <expected>
#include <string>

template <class T>
using Result = std::expected<T, std::string>;

/// Success, or failure with the message that the entry point prints.
using CommandOutcome = Result<void>;

inline std::unexpected<std::string> fail(std::string message) {
  return std::unexpected<std::string>(std::move(message));
}
