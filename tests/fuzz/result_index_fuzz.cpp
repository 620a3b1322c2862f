// Feeds arbitrary bytes to the index file reading, as the content of an index
// file: no more than the bound may be read, and the path taken from it must
// obey the index's rules (the first line, a CR before its LF dropped, nothing
// longer than the longest real path).
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "activation/result_index.h"
#include "platform/files.h"

namespace {

// One file for the whole run, removed when it ends; never destroyed, so the
// removal at exit can still name it.
const std::string& IndexFile() {
  static const std::string* path = [] {
    auto* name = new std::string((std::filesystem::temp_directory_path() /
                                  ("result_index_fuzz_" + std::to_string(::getpid()) + ".path"))
                                     .string());
    std::atexit([] { std::filesystem::remove(IndexFile()); });
    return name;
  }();
  return *path;
}

// The fuzzer's inputs are short, and lines around the bound are long: the
// first two bytes give the length of a run of the third byte (up to past the
// bound) that stands before the rest of the input.
std::string IndexContent(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (size < 3) return std::string(bytes);
  const std::size_t run = ((std::size_t{data[0]} << 8) | data[1]) * 2;
  return std::string(run, static_cast<char>(data[2])) + std::string(bytes.substr(3));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace activator;
  const std::string content = IndexContent(data, size);
  {
    std::ofstream file(IndexFile(), std::ios::binary | std::ios::trunc);
    file.write(content.data(), static_cast<std::streamsize>(content.size()));
  }
  const FileReadResult read = ReadFileStart(IndexFile(), kResultIndexReadBytes);
  if (read.status != FileReadStatus::kRead) std::abort();
  if (read.bytes != std::string_view(content).substr(0, kResultIndexReadBytes)) std::abort();

  const ResultIndex index = ParseResultIndex(read.bytes);
  const std::string_view start = read.bytes;
  const std::size_t lf = start.find('\n');
  switch (index.line) {
    case ResultIndexLine::kPath: {
      const std::string& path = index.path;
      if (path.empty() || path.size() > kMaxResultPathBytes) std::abort();
      if (path.find('\n') != std::string::npos || !start.starts_with(path)) std::abort();
      const std::string_view rest = start.substr(path.size());
      // The path ends the content, or the line: LF, or CR LF with the CR dropped.
      if (!rest.empty() && !rest.starts_with('\n') && !rest.starts_with("\r\n")) std::abort();
      if (rest.empty() && start.size() == kResultIndexReadBytes) std::abort();
      break;
    }
    case ResultIndexLine::kEmpty:
      if (!index.path.empty()) std::abort();
      if (!start.empty() && !start.starts_with('\n') && !start.starts_with("\r\n")) std::abort();
      break;
    case ResultIndexLine::kTooLong:
      if (!index.path.empty()) std::abort();
      if (lf != std::string_view::npos && lf <= kMaxResultPathBytes) std::abort();
      break;
  }
  return 0;
}
