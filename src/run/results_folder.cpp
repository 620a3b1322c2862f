#include "run/results_folder.h"

#include <chrono>
#include <fstream>
#include <optional>

#include "base/build_constants.h"
#include "platform/child_process.h"
#include "platform/files.h"

namespace activator {

bool WriteResultIndex(const std::string& index_path, const std::string& result_path) {
  // The index folder is every user's on Windows: a partial file of the name
  // that another user made first is not this user's to write, and another
  // name is taken.
  std::string partial = index_path + ".partial";
  std::optional<PrivateFile> out = PrivateFile::Create(partial, nullptr);
  if (!out) {
    partial += "-" + std::to_string(CurrentProcessId());
    out = PrivateFile::Create(partial, nullptr);
  }
  if (!out) return false;
  const bool written = out->Append(result_path + "\n") == 0;
  out.reset();
  std::error_code error;
  if (written) std::filesystem::rename(PathOf(partial), PathOf(index_path), error);
  if (!written || error) std::filesystem::remove(PathOf(partial), error);
  return written && !error;
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
  const std::string result_stem = TextOf(PathOf(kRunResultsPrefix).filename());
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    std::error_code ignored;
    const fs::path path = it->path();
    const std::string name = TextOf(path.filename());
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
    // Removed by its name: a folder every user writes may not let them list
    // it (the installer's do not), and an index file of a result this
    // removes is found without a listing.
    const std::string index = std::string(kResultsPrefix) + job_id + ".path";
    std::string first_line;
    if (std::ifstream in(PathOf(index), std::ios::binary);
        in && std::getline(in, first_line) &&
        first_line == TextOf(path))
      fs::remove(PathOf(index), ignored);
    fs::remove(path, ignored);
  }
  const fs::path index_folder = PathOf(kResultsPrefix).parent_path();
  const std::string index_stem = TextOf(PathOf(kResultsPrefix).filename());
  const std::string ours = TextOf(folder / PathOf(result_stem));
  for (fs::directory_iterator it(index_folder, error), end; !error && it != end;
       it.increment(error)) {
    std::error_code ignored;
    const std::string name = TextOf(it->path().filename());
    if (!it->is_regular_file(ignored) || name.rfind(index_stem, 0) != 0 ||
        !name.ends_with(".path") || it->last_write_time(ignored) >= limit)
      continue;
    std::string first_line;
    if (std::ifstream in(it->path(), std::ios::binary); in && std::getline(in, first_line) &&
                                                        first_line.rfind(ours, 0) == 0 &&
                                                        !fs::exists(PathOf(first_line), ignored))
      fs::remove(it->path(), ignored);
  }
}

}  // namespace activator
