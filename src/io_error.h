#pragma once
// The system's text for an error number, as every I/O failure message shows
// it. Below every folder, so that readers of text and of files share it.

#include <string>

/// "No such file or directory (os error 2)" for ENOENT.
std::string format_io_error(int error_number);
