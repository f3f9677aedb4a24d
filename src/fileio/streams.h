#pragma once
// Where a command reads from and writes to: a path, or the dash for a
// standard stream, handled the same way everywhere.

#include <string>

struct InputSource {
  enum class Kind { Stdin, Path };
  Kind kind = Kind::Stdin;
  std::string path;  // only for Path

  static InputSource stdin_source() { return {Kind::Stdin, {}}; }
  static InputSource file(std::string p) { return {Kind::Path, std::move(p)}; }
  bool is_stdin() const { return kind == Kind::Stdin; }
};

struct OutputTarget {
  enum class Kind { Stdout, Path, Discard };
  Kind kind = Kind::Stdout;
  std::string path;  // only for Path

  static OutputTarget stdout_target() { return {Kind::Stdout, {}}; }
  static OutputTarget file(std::string p) { return {Kind::Path, std::move(p)}; }
  static OutputTarget discard() { return {Kind::Discard, {}}; }
};
