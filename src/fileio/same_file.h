#pragma once
// One rule for "would this output land on that file?", asked by every command
// before it reads or writes anything, so that no command destroys its input.
// Two names are one file when both exist and are the same inode (symbolic
// links, "..", hard links), or when neither exists yet and both resolve to the
// same absolute path. Standard output counts when it is a regular file: a
// report sent with `> clip.mp4` would truncate the recording, and with
// `>> clip.mp4` embed-evidence would append the file to itself without end.
// embed-evidence also asks it for its summary, since that is a second output
// that could land on the recording or on the evidence file.

#include <span>
#include <string>
#include <string_view>

#include "fileio/path_walk.h"
#include "fileio/streams.h"

/// Why a command refuses an output that is its own input.
inline constexpr std::string_view kOutputIsInputMessage = "output path must differ from input path";

/// True when writing `output` would write the file that `path` names.
bool lands_on(const OutputTarget& output, const std::string& path);
/// True when writing `output` would write one of the files; a walked file is
/// told by the device and inode the walk saw, so a long list costs no more
/// than one status read.
bool lands_on_any(const OutputTarget& output, std::span<const WalkedFile> files);
/// True when the two outputs would write one file.
bool share_a_file(const OutputTarget& a, const OutputTarget& b);
