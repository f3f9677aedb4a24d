#pragma once
// A result or one message: the way every failure travels in this program.

#include <expected>
#include <new>
#include <string>

template <class T>
using Result = std::expected<T, std::string>;

/// Success, or failure with the message that the entry point prints.
using CommandOutcome = Result<void>;

inline std::unexpected<std::string> fail(std::string message) {
  return std::unexpected<std::string>(std::move(message));
}

/// Runs `body`; running out of memory anywhere inside is the failure "out of
/// memory" instead of an abort.
template <class Body>
CommandOutcome catching_out_of_memory(Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return fail("out of memory");
  }
}
