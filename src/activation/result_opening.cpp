// Result opening by index: the index file's first line names the result file.
#include "activation/result_opening.h"

#include <fstream>

#include "base/build_constants.h"
#include "log/debug_log.h"
#include "platform/shell.h"

namespace activator {

namespace {

// The first line of the index file as raw bytes: everything up to the first
// LF, or the whole file when it has none. Empty when the file cannot be read.
// A CR that ends the line is dropped: workers on Windows write CR LF, and a
// path ending in CR names no file. No other byte is touched.
std::string ReadResultPath(const std::string& index_path) {
  std::string line;
  // The system would read the path only up to a NUL byte, which is another
  // file than the one named: a job id "42.path<NUL>x" must not find job 42's
  // index.
  if (index_path.find('\0') != std::string::npos) return line;
  // A plain read-only open denies the worker nothing: it may keep the file
  // open, even for writing, while we read.
  std::ifstream index(index_path, std::ios::binary);
  if (!index.is_open()) return line;
  std::getline(index, line);
  const bool ended_by_lf = !index.eof();
  if (ended_by_lf && !line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

void OpenResultByIndex(const std::string& job_id) {
  const std::string index_path = std::string(kResultsPrefix) + job_id + ".path";
  const std::string result_path = ReadResultPath(index_path);
  if (result_path.empty()) {
    WriteDebugLog("INDICE DE RESULTADO AUSENTE OU VAZIO=" + index_path);
    return;
  }
  if (!IsExistingNonDirectory(result_path)) {
    WriteDebugLog("ARQUIVO INDICADO NAO ENCONTRADO=" + result_path);
    return;
  }
  if (!StartTextEditor(result_path)) {
    WriteDebugLog("FALHA AO ABRIR RESULTADO PELO INDICE");
    return;
  }
  WriteDebugLog("RESULTADO ABERTO PELO INDICE=" + result_path);
}

}  // namespace activator
