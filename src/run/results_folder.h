// The folder activator-run keeps its results in, and the index files beside
// the activator's own that name them.
#pragma once

#include <filesystem>
#include <string>

namespace activator {

// Writes the result index: its first line names the result file. Written
// whole under another name first, so the activator never reads half of it.
bool WriteResultIndex(const std::string& index_path, const std::string& result_path);

// Removes results of earlier runs last written more than `keep_days` ago,
// with the index files that name them, and index files as old that name a
// result of this folder that is gone, and what killed runs left as old.
// Index files of other workers stay.
void PruneOldResults(const std::filesystem::path& folder, double keep_days);

}  // namespace activator
