// The folder activator-run keeps its results in, and the index files beside
// the activator's own that name them.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace activator {

// A path of the program's own text (UTF-8) as the file system's calls take
// it, and back. std::filesystem reads and writes a std::string in the
// system's narrow code page on Windows, which need not be UTF-8 (a lab or a
// job id that is not ASCII would name another file).
inline std::filesystem::path PathOf(std::string_view text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}
inline std::string TextOf(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

// Writes the result index: its first line names the result file. Written
// whole under another name first, so the activator never reads half of it.
bool WriteResultIndex(const std::string& index_path, const std::string& result_path);

// Removes results of earlier runs last written more than `keep_days` ago,
// with the index files that name them, and index files as old that name a
// result of this folder that is gone, and what killed runs left as old.
// Index files of other workers stay.
void PruneOldResults(const std::filesystem::path& folder, double keep_days);

}  // namespace activator
