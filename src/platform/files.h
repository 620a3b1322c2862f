// Files: the few operations on files that the program needs.
#pragma once

#include <string>
#include <string_view>

namespace activator {

// Appends `bytes` to the file at `path` with a single write at the file's end,
// creating the file (not its folder) when missing. The file is opened and
// closed within the call, shared with every other opener, and never inherited
// by child processes. Returns false when the file could not be opened or the
// write failed; never throws.
bool AppendToFile(const std::string& path, std::string_view bytes) noexcept;

}  // namespace activator
