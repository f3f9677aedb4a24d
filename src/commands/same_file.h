#pragma once
// Tells whether two names, or a name and standard output, lead to the same
// file, so a command can refuse to overwrite its own input.

#include <string>
#include <string_view>

#include "fileio/streams.h"
#include "result.h"

/// Why a command refuses an output that is its own input.
inline constexpr std::string_view kOutputIsInputMessage = "output path must differ from input path";

/// True when both exist and are one file (same device and inode; links followed).
bool is_same_existing_file(const std::string& a, const std::string& b);
/// True when both name one file: the same inode when both exist, otherwise the
/// same absolute path once links and "." and ".." are resolved.
bool names_same_file(const std::string& a, const std::string& b);
/// When `output` exists: whether both resolve to one canonical absolute path
/// (links, "." and ".." resolved); false when it doesn't exist. Fails with
/// "canonicalize {path}: ...".
Result<bool> resolves_to_same_path(const std::string& input, const std::string& output);
/// True when standard output is a regular file and `path` is that file.
bool is_stdout_file(const std::string& path);
/// True when writing to `output` would overwrite the existing file `input`:
/// a path to the same file, or standard output redirected onto it.
bool output_lands_on(const OutputTarget& output, const std::string& input);
