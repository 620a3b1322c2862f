// Result opening as the flat deliverable builds it (its own results prefix),
// with a text editor that does not exist.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "activation/editor_record.h"
#include "activation/result_opening.h"
#include "base/build_constants.h"
#include "support/log_capture.h"
#include "support/test_lab.h"

namespace activator {
namespace {

using Lines = std::vector<std::string>;
using testing::LogTail;

TEST(FlatResultOpening, MissingIndexNamesTheFullIndexPath) {
  std::filesystem::remove(std::string(kResultsPrefix) + "42.path");
  LogTail log;
  OpenResultByIndex("42");
  EXPECT_EQ(log.Lines(), Lines{"INDICE DE RESULTADO AUSENTE OU VAZIO=" +
                               testing::LabPath("Resultados/Resultado_42.path")});
}

// On Windows the editor is notepad.exe, which is there and a test must not
// open.
#if !defined(_WIN32)
TEST(FlatResultOpening, EditorThatCannotStartIsReported) {
  std::filesystem::create_directories(testing::LabPath("results"));
  const std::string result = testing::LabPath("results/result.txt");
  testing::WriteFile(result, "result");
  testing::WriteFile(std::string(kResultsPrefix) + "42.path", result + "\n");

  LogTail log;
  const std::optional<std::string> why = OpenResultByIndex("42");
  EXPECT_EQ(log.Lines(), (Lines{"FALHA AO ABRIR RESULTADO PELO INDICE", "EDITOR NAO INICIADO=2"}));
  EXPECT_EQ(why, "o editor de texto " + std::string(kTextEditor) +
                     " não pôde ser iniciado (o programa não existe)");
  EXPECT_TRUE(testing::WaitForNoChildProcesses());
}
#endif

}  // namespace
}  // namespace activator
