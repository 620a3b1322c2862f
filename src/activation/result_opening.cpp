// Result opening by index: the index file's first line names the result file.
#include "activation/result_opening.h"

#include <cerrno>

#include "activation/result_index.h"
#include "base/build_constants.h"
#include "log/debug_log.h"
#include "platform/files.h"
#include "platform/shell.h"

namespace activator {

namespace {

std::string EditorName() { return std::string(kTextEditor); }

// The usual reasons a program does not start, in words; a code otherwise.
std::string StartErrorWords(int code) {
  switch (code) {
    case ENOENT:
      return "o programa não existe";
    case EACCES:
      return "sem permissão para executá-lo";
    case ENOEXEC:
      return "não é um programa";
    default:
      return "erro " + std::to_string(code);
  }
}

// The editor's failure as the log gives it and as the user reads it.
std::string DescribeEditorFailure(const EditorStart& start) {
  using Outcome = EditorStart::Outcome;
  std::string line;
  std::string words;
  switch (start.outcome) {
    case Outcome::kNotFound:
      line = "EDITOR NAO ENCONTRADO=" + LogValue(EditorName());
      words = "o editor de texto " + EditorName() + " não foi encontrado";
      break;
    case Outcome::kExited:
    case Outcome::kSignalled: {
      const bool exited = start.outcome == Outcome::kExited;
      line = std::string(exited ? "EDITOR TERMINOU=" : "EDITOR SINAL=") + std::to_string(start.code);
      words = "o editor de texto " + EditorName() +
              (exited ? " terminou com o código " : " foi encerrado pelo sinal ") +
              std::to_string(start.code);
      if (!start.error_line.empty()) {
        line += " SAIDA DE ERRO=" + LogValue(start.error_line);
        words += ": " + LogValue(start.error_line);
      }
      break;
    }
    case Outcome::kStarted:
    case Outcome::kStartFailed:
      line = "EDITOR NAO INICIADO=" + std::to_string(start.code);
      words = "o editor de texto " + EditorName() + " não pôde ser iniciado (" +
              StartErrorWords(start.code) + ")";
      break;
  }
  WriteDebugLog(line);
  return words;
}

}  // namespace

std::optional<std::string> OpenResultByIndex(const std::string& job_id) {
  const std::string index_path = std::string(kResultsPrefix) + job_id + ".path";
  // Read as raw bytes and shared with the worker, who may still hold the file.
  // A path holding a NUL byte reads nothing: cut there, a job id
  // "42.path<NUL>x" would find job 42's index.
  const FileReadResult read = ReadFileStart(index_path, kResultIndexReadBytes);
  if (read.status == FileReadStatus::kNotRegularFile) {
    // A FIFO without a writer or an endless device would hold this click,
    // and every later one, in the read.
    WriteDebugLog("INDICE DE RESULTADO NAO E ARQUIVO REGULAR=" + LogValue(index_path));
    return "o índice do resultado não é um arquivo comum: " + LogValue(index_path);
  }
  if (read.status == FileReadStatus::kOtherUsers) {
    // Another user chose what it names, in a folder every user may write.
    WriteDebugLog("INDICE DE RESULTADO DE OUTRO USUARIO=" + LogValue(index_path));
    return "o índice do resultado é de outro usuário: " + LogValue(index_path);
  }
  const ResultIndex index = ParseResultIndex(read.bytes);
  if (index.line == ResultIndexLine::kTooLong) {
    WriteDebugLog("INDICE DE RESULTADO LONGO DEMAIS=" + LogValue(index_path));
    return "a primeira linha do índice do resultado é longa demais: " + LogValue(index_path);
  }
  const std::string& result_path = index.path;
  if (result_path.empty()) {
    WriteDebugLog("INDICE DE RESULTADO AUSENTE OU VAZIO=" + LogValue(index_path));
    return "o trabalho não deixou o índice do resultado: " + LogValue(index_path);
  }
  // A relative path would be looked up in whatever folder the activator was
  // started from, and one beginning with "-" would reach the editor as an
  // option. The index names the result's full path; anything else is refused.
  if (!IsAbsolutePath(result_path)) {
    WriteDebugLog("ARQUIVO INDICADO NAO ABSOLUTO=" + LogValue(result_path));
    return "o índice do resultado não dá um caminho completo: " + LogValue(result_path);
  }
  if (!IsExistingNonDirectory(result_path)) {
    WriteDebugLog("ARQUIVO INDICADO NAO ENCONTRADO=" + LogValue(result_path));
    return "o arquivo do resultado não existe: " + LogValue(result_path);
  }
  const EditorStart start = StartTextEditor(result_path);
  if (!start.started()) {
    WriteDebugLog("FALHA AO ABRIR RESULTADO PELO INDICE");
    return DescribeEditorFailure(start);
  }
  WriteDebugLog("RESULTADO ABERTO PELO INDICE=" + LogValue(result_path));
  return std::nullopt;
}

}  // namespace activator
