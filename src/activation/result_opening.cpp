// Result opening by index: the index file's first line names the result file.
#include "activation/result_opening.h"

#include "activation/result_index.h"
#include "base/build_constants.h"
#include "log/debug_log.h"
#include "platform/files.h"
#include "platform/shell.h"

namespace activator {

void OpenResultByIndex(const std::string& job_id) {
  const std::string index_path = std::string(kResultsPrefix) + job_id + ".path";
  // Read as raw bytes and shared with the worker, who may still hold the file.
  // A path holding a NUL byte reads nothing: cut there, a job id
  // "42.path<NUL>x" would find job 42's index.
  const FileReadResult read = ReadFileStart(index_path, kResultIndexReadBytes);
  if (read.status == FileReadStatus::kNotRegularFile) {
    // A FIFO without a writer or an endless device would hold this click,
    // and every later one, in the read.
    WriteDebugLog("INDICE DE RESULTADO NAO E ARQUIVO REGULAR=" + LogValue(index_path));
    return;
  }
  const ResultIndex index = ParseResultIndex(read.bytes);
  if (index.line == ResultIndexLine::kTooLong) {
    WriteDebugLog("INDICE DE RESULTADO LONGO DEMAIS=" + LogValue(index_path));
    return;
  }
  const std::string& result_path = index.path;
  if (result_path.empty()) {
    WriteDebugLog("INDICE DE RESULTADO AUSENTE OU VAZIO=" + LogValue(index_path));
    return;
  }
  // A relative path would be looked up in whatever folder the activator was
  // started from, and one beginning with "-" would reach the editor as an
  // option. The index names the result's full path; anything else is refused.
  if (!IsAbsolutePath(result_path)) {
    WriteDebugLog("ARQUIVO INDICADO NAO ABSOLUTO=" + LogValue(result_path));
    return;
  }
  if (!IsExistingNonDirectory(result_path)) {
    WriteDebugLog("ARQUIVO INDICADO NAO ENCONTRADO=" + LogValue(result_path));
    return;
  }
  if (!StartTextEditor(result_path)) {
    WriteDebugLog("FALHA AO ABRIR RESULTADO PELO INDICE");
    return;
  }
  WriteDebugLog("RESULTADO ABERTO PELO INDICE=" + LogValue(result_path));
}

}  // namespace activator
