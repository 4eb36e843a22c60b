// File queries of the OS layer. Paths cross this boundary as UTF-8 in the
// OS's own notation.
#pragma once

#include <optional>
#include <string>

#include "platform/types.hpp"

namespace qel::platform {

// The size in bytes of the file at the path; nothing for a directory, a
// file that cannot be opened for reading, or a path holding a NUL byte (the OS would
// read it as a shorter path and answer for another file).
std::optional<u64> file_size(const std::string& path);

}  // namespace qel::platform
