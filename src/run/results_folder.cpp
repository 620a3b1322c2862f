#include "run/results_folder.h"

#include <chrono>
#include <fstream>
#include <optional>

#include "base/build_constants.h"
#include "platform/files.h"

namespace activator {

bool WriteResultIndex(const std::string& index_path, const std::string& result_path) {
  const std::string partial = index_path + ".partial";
  {
    std::optional<PrivateFile> out = PrivateFile::Create(partial, nullptr);
    if (!out || out->Append(result_path + "\n") != 0) return false;
  }
  std::error_code error;
  std::filesystem::rename(partial, index_path, error);
  return !error;
}

// Removes results of earlier runs last written more than `keep_days` ago,
// with the index files that name them, and index files as old that name a
// result of this folder that is gone. Index files of other workers stay.
void PruneOldResults(const std::filesystem::path& folder, double keep_days) {
  namespace fs = std::filesystem;
  if (keep_days <= 0) return;
  const auto limit = fs::file_time_type::clock::now() -
                     std::chrono::duration_cast<fs::file_time_type::duration>(
                         std::chrono::duration<double, std::ratio<86400>>(keep_days));
  const std::string result_stem = fs::path(kRunResultsPrefix).filename().string();
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    std::error_code ignored;
    const fs::path path = it->path();
    const std::string name = path.filename().string();
    // What a run that was killed left beside its result.
    const bool leftover = name.ends_with(".txt.tail") || name.ends_with(".txt.partial");
    if (!it->is_regular_file(ignored) || name.rfind(result_stem, 0) != 0 ||
        !(name.ends_with(".txt") || leftover) || it->last_write_time(ignored) >= limit)
      continue;
    if (leftover) {
      fs::remove(path, ignored);
      continue;
    }
    const std::string job_id =
        name.substr(result_stem.size(), name.size() - result_stem.size() - 4);
    const std::string index = std::string(kResultsPrefix) + job_id + ".path";
    std::string first_line;
    if (std::ifstream in(index, std::ios::binary);
        in && std::getline(in, first_line) && first_line == path.string())
      fs::remove(index, ignored);
    fs::remove(path, ignored);
  }
  const fs::path index_folder = fs::path(kResultsPrefix).parent_path();
  const std::string index_stem = fs::path(kResultsPrefix).filename().string();
  const std::string ours = (folder / result_stem).string();
  for (fs::directory_iterator it(index_folder, error), end; !error && it != end;
       it.increment(error)) {
    std::error_code ignored;
    const std::string name = it->path().filename().string();
    if (!it->is_regular_file(ignored) || name.rfind(index_stem, 0) != 0 ||
        !name.ends_with(".path") || it->last_write_time(ignored) >= limit)
      continue;
    std::string first_line;
    if (std::ifstream in(it->path(), std::ios::binary); in && std::getline(in, first_line) &&
                                                        first_line.rfind(ours, 0) == 0 &&
                                                        !fs::exists(first_line, ignored))
      fs::remove(it->path(), ignored);
  }
}

}  // namespace activator
