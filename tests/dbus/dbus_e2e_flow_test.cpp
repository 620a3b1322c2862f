// The program as a whole on a private bus with a scripted notification
// server: one job from announcement to click, and the display limit.
#include <gtest/gtest.h>

#include <filesystem>

#include "activation/editor_record.h"
#include "activation/reply_listener.h"
#include "dbus/e2e_support.h"
#include "platform/posix/dbus/notify_payload.h"
#include "support/test_lab.h"

namespace activator::testing {
namespace {

const std::string kGroupKey = "|zorvell_processos";

class BusFlowTest : public BusRunTest {};

TEST_F(BusFlowTest, OneJobFromAnnouncementToClick) {
  StartBus();
  StartServer();
  StartProgram();
  {
    const std::vector<std::string> start = log_.Lines();
    ASSERT_GE(start.size(), 10u);
    EXPECT_EQ(std::vector<std::string>(start.begin(), start.begin() + 10),
              (std::vector<std::string>{"================", "ZORVELL ACTIVATOR START", "COM INIT=0",
                                        "BOOTSTRAP RESULT=0", "COM REGISTER=0",
                                        "COM ACTIVATOR READY", "WPN CALLBACK REGISTERED",
                                        "ESTADO NOVO", "WPN REGISTER OK", "GETALL TOTAL=0"}));
  }
  // The monitor's first pass.
  ASSERT_TRUE(log_.WaitForLine("TOTAL=0", kE2eWaitMs));

  ReplyListener worker;
  ASSERT_TRUE(worker.listening());
  const std::string pipe = worker.pipe_name();
  const std::string announce = "acao=continuar&id_execucao=J1&pipe=" + pipe + "&estado=executando";
  ASSERT_TRUE(SendJobMessage(announce));

  // Shown in progress.
  ASSERT_TRUE(server_->WaitForCalls(1, std::chrono::milliseconds(kE2eWaitMs)));
  NotifyCall in_progress = server_->Calls().at(0);
  EXPECT_EQ(in_progress.app_name, "Zorvell Lab");
  EXPECT_EQ(in_progress.replaces_id, 0u);
  EXPECT_EQ(in_progress.summary, "Zorvell Lab");
  EXPECT_EQ(in_progress.body, "Processo em andamento\nJ1");
  ASSERT_EQ(in_progress.actions.size(), 4u);
  EXPECT_EQ(in_progress.actions[1], "abortar");
  EXPECT_EQ(dbus::DecodeActionKey(in_progress.actions[0]),
            (std::map<std::string, std::string>{
                {"acao", "abortar"}, {"id_execucao", "J1"}, {"estado", "executando"}}));
  EXPECT_EQ(in_progress.hints.at("image-path"), LabPath("Assets/ZorvellNotify2.png"));
  EXPECT_TRUE(std::filesystem::exists(in_progress.hints.at("image-path")));
  EXPECT_EQ(in_progress.expire_timeout, 0);

  // Seen on screen by the monitor.
  ASSERT_TRUE(log_.WaitForLine("J1" + kGroupKey, kE2eWaitMs));

  // A click on its body acknowledges it and asks for nothing: the job is not
  // aborted (the worker's next event below is the result's).
  server_->SendActionInvoked(in_progress.id, "default", in_progress.sender);
  ASSERT_TRUE(log_.WaitForLine("WPN INVOKED SEM ARGUMENTOS", kE2eWaitMs));

  // Concluded: the same notification, replaced.
  ASSERT_TRUE(SendJobMessage("acao=atualizar&id_execucao=J1&estado=concluido"));
  ASSERT_TRUE(server_->WaitForCalls(2, std::chrono::milliseconds(kE2eWaitMs)));
  NotifyCall concluded = server_->Calls().at(1);
  EXPECT_EQ(concluded.replaces_id, in_progress.id);
  EXPECT_EQ(concluded.id, in_progress.id);
  EXPECT_EQ(concluded.body, "Processo Concluido\nJ1");
  ASSERT_EQ(concluded.actions.size(), 4u);
  EXPECT_EQ(concluded.actions[1], "Exibir Resultado");
  ASSERT_TRUE(log_.WaitForLine("SHOW CONCLUIDA OK", kE2eWaitMs));

  // "Exibir Resultado" clicked (a server that keeps the notification after
  // an action): the worker receives the event message byte for byte.
  server_->SendActionInvoked(concluded.id, concluded.actions[0], concluded.sender);
  EXPECT_EQ(worker.ReceiveOne(kE2eWaitMs), "acao=salvar&id_execucao=J1&estado=concluido");
  ASSERT_TRUE(log_.WaitForLine("EVENT SENT", kE2eWaitMs));

  // The same click with the worker gone opens the result in the editor.
  worker.Close();
  ForgetEditorCalls();
  const std::string result = LabPath("Resultados_J1.txt");
  WriteFile(result, "resultado\n");
  WriteFile(std::string(kResultsPrefix) + "J1.path", result + "\r\n");
  server_->Click(concluded.id, concluded.actions[0]);
  std::optional<EditorCall> editor = WaitForEditorCall(kE2eWaitMs);
  ASSERT_TRUE(editor);
  EXPECT_EQ(editor->arguments, std::vector<std::string>{result});
  // Neither the bus connection nor any pipe socket is handed to the editor.
  for (const auto& [fd, target] : editor->descriptors) {
    EXPECT_NE(target.rfind("socket:", 0), 0u) << fd << " -> " << target;
  }
  ASSERT_TRUE(log_.WaitForLine("RESULTADO ABERTO PELO INDICE=" + result, kE2eWaitMs));
  // The click closed it: the monitor sees the centre empty again.
  ASSERT_TRUE(WaitUntil([&] { return CountLines(log_.Lines(), "TOTAL=0") >= 2; }));

  const std::vector<std::string> lines = log_.Lines();
  // The job pipe server's lines.
  EXPECT_TRUE(InOrder(
      lines,
      {"PYTHON PIPE RECEIVED=" + announce, "PYTHON PIPE DESTINO=" + pipe, "PYTHON ACAO=continuar",
       "PYTHON ID=J1", "PYTHON ESTADO=executando", "VELDUNA RECEBEU=J1",
       "PYTHON PIPE RECEIVED=acao=atualizar&id_execucao=J1&estado=concluido",
       "PYTHON PIPE DESTINO=", "PYTHON ACAO=atualizar", "PYTHON ID=J1", "PYTHON ESTADO=concluido",
       "VELDUNA ESTADO REGISTRADO=J1 ESTADO=concluido", "ENTROU MOSTRAR CONCLUIDA",
       "BUILD CONCLUIDA OK", "SHOW CONCLUIDA OK", "GETALL TOTAL=1",
       "GETALL TAG=J1 GROUP=zorvell_processos"}));
  // The queue consumer's.
  EXPECT_TRUE(
      InOrder(lines, {"VELDUNA CONSUMER START", "VELDUNA PROCESSANDO=J1",
                      "VELDUNA ESTADO PARA EXIBIR=J1 ESTADO=executando", "BUILD NOTIFICATION OK",
                      "SHOW OK", "GETALL TOTAL=1", "GETALL TAG=J1 GROUP=zorvell_processos"}));
  // The monitor's: nothing, the job, nothing again.
  EXPECT_TRUE(InOrder(
      lines, {"MONITOR GETALL START", "MONITOR GETALL MUDOU", "TOTAL=0", "MONITOR GETALL MUDOU",
              "TOTAL=1", "J1" + kGroupKey, "MONITOR GETALL MUDOU", "TOTAL=0"}));
  // The three clicks.
  const std::string event = "acao=salvar&id_execucao=J1&estado=concluido";
  EXPECT_TRUE(InOrder(
      lines, {"=== WPN INVOKED ===", "WPN INVOKED SEM ARGUMENTOS", "=== WPN INVOKED ===",
              "WPN PIPE DESTINO=" + pipe, "EVENT=" + event, "PIPE CONNECT", "PIPE SENT=" + event,
              "EVENT SENT", "=== WPN INVOKED ===", "WPN PIPE DESTINO=" + pipe, "EVENT=" + event,
              "PIPE CONNECT", "PIPE FAILED=2", "RESULTADO ABERTO PELO INDICE=" + result}));
  EXPECT_EQ(CountLines(lines, "=== WPN INVOKED ==="), 3);
  EXPECT_EQ(CountLines(lines, "EVENT SENT"), 1);
  EXPECT_EQ(CountLines(lines, "WPN CALLBACK ERROR"), 0);
  EXPECT_EQ(CountLines(lines, "MONITOR GETALL ERRO"), 0);
  EXPECT_EQ(server_->Calls().size(), 2u);
}

// A burst of progress becomes a few replacements in place, the last with the
// last value; the description stays on every form.
TEST_F(BusFlowTest, ProgressIsReplacedInPlaceAtAFewShowsASecond) {
  StartBus();
  StartServer();
  StartProgram();
  ASSERT_TRUE(SendJobMessage(
      "acao=continuar&id_execucao=J1&descricao=make%20-j8&progresso=0&estado=executando"));
  ASSERT_TRUE(server_->WaitForCalls(1, std::chrono::milliseconds(kE2eWaitMs)));
  const NotifyCall first = server_->Calls().at(0);
  EXPECT_EQ(first.body, "Processo em andamento\nmake -j8\nJ1");
  EXPECT_EQ(first.value, 0);

  const auto start = std::chrono::steady_clock::now();
  constexpr int kMessages = 400;
  for (int i = 1; i <= kMessages; ++i) {
    ASSERT_TRUE(SendJobMessage("acao=atualizar&id_execucao=J1&progresso=" +
                               std::to_string(i * 99 / kMessages) + "&estado=executando"));
  }
  ASSERT_TRUE(WaitUntil([&] { return server_->Calls().back().value == 99; }));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::vector<NotifyCall> calls = server_->Calls();
  EXPECT_EQ(NewNotifications(calls).size(), 1u);
  // Four a second at most, whatever the pace of the messages or the machine.
  EXPECT_LE(calls.size() - 1, static_cast<std::size_t>(seconds * 4) + 2) << seconds;
  for (const NotifyCall& call : calls) EXPECT_EQ(call.body, first.body);

  ASSERT_TRUE(SendJobMessage(
      "acao=atualizar&id_execucao=J1&descricao=make%20-j8%3A%20ok%20after%203%20s&estado=concluido"));
  ASSERT_TRUE(server_->WaitForCalls(calls.size() + 1, std::chrono::milliseconds(kE2eWaitMs)));
  const NotifyCall concluded = server_->Calls().back();
  EXPECT_EQ(concluded.body, "Processo Concluido\nmake -j8: ok after 3 s\nJ1");
  EXPECT_EQ(concluded.value, -1);
  EXPECT_EQ(concluded.replaces_id, first.id);
}

TEST_F(BusFlowTest, DisplayLimitHoldsTwentyAndDismissalsLetMoreIn) {
  StartBus();
  StartServer();
  StartProgram();
  for (int i = 1; i <= 25; ++i) {
    char job[8];
    std::snprintf(job, sizeof job, "L%02d", i);
    ASSERT_TRUE(
        SendJobMessage(std::string("acao=continuar&id_execucao=") + job + "&estado=executando"));
  }
  ASSERT_TRUE(log_.WaitForLine("TOTAL=20", kE2eWaitMs));
  // Twenty on screen, and once the monitor has counted them nothing more is
  // admitted: each of the first twenty was shown before it could be counted.
  // The newest says how many wait behind them, replaced in place as that
  // changes; the one that carried it before is shown again without it.
  const auto latest_body = [&](uint32_t id) {
    std::string body;
    for (const NotifyCall& call : server_->Calls())
      if (call.id == id) body = call.body;
    return body;
  };
  std::vector<NotifyCall> shown = NewNotifications(server_->Calls());
  ASSERT_EQ(shown.size(), 20u);
  EXPECT_EQ(server_->OpenIds().size(), 20u);
  EXPECT_EQ(shown.front().body, "Processo em andamento\nL01");
  EXPECT_TRUE(WaitUntil(
      [&] { return latest_body(shown.back().id) == "Processo em andamento\n+5 na fila\nL20"; }))
      << latest_body(shown.back().id);

  for (int i = 0; i < 3; ++i) server_->Dismiss(shown[i].id);
  ASSERT_TRUE(WaitUntil([&] { return NewNotifications(server_->Calls()).size() == 23u; }));
  // Back at twenty, with the three dismissed ones gone and three new ones in.
  ASSERT_TRUE(WaitUntil([&] { return CountLines(log_.Lines(), "TOTAL=20") >= 2; }));
  const uint32_t former_newest = shown.back().id;
  shown = NewNotifications(server_->Calls());
  EXPECT_EQ(shown.size(), 23u);
  EXPECT_EQ(shown[20].body.substr(0, 22), "Processo em andamento\n");
  EXPECT_EQ(shown[20].body.substr(shown[20].body.size() - 3), "L21");
  EXPECT_TRUE(WaitUntil(
      [&] { return latest_body(shown[22].id) == "Processo em andamento\n+2 na fila\nL23"; }))
      << latest_body(shown[22].id);
  EXPECT_TRUE(WaitUntil(
      [&] { return latest_body(former_newest) == "Processo em andamento\nL20"; }));
  const std::vector<std::string> lines = log_.Lines();
  // The last summary: the twenty keys now on screen, sorted.
  auto last = std::find(lines.rbegin(), lines.rend(), "TOTAL=20").base();
  ASSERT_GE(lines.end() - last, 20);
  std::vector<std::string> keys(last, last + 20);
  std::vector<std::string> expected;
  for (int i = 4; i <= 23; ++i) {
    char job[8];
    std::snprintf(job, sizeof job, "L%02d", i);
    expected.push_back(job + kGroupKey);
  }
  EXPECT_EQ(keys, expected);
  EXPECT_EQ(CountLines(lines, "VELDUNA PROCESSANDO=L24"), 0);
  EXPECT_EQ(CountLines(lines, "SHOW FAILED"), 0);
}

// A server that closes every notification at once (and says so) gives each
// job's place under the display limit back then, not five monitor passes
// later: the queue moves on without waiting for the monitor.
TEST_F(BusFlowTest, NotificationsClosedBeforeTheMonitorSawThemFreeTheirPlaces) {
  StartBus();
  StartServer();
  server_->CloseRightAfterReply(true);
  StartProgram();
  for (int i = 1; i <= 21; ++i) {
    ASSERT_TRUE(
        SendJobMessage("acao=continuar&id_execucao=Q" + std::to_string(i) + "&estado=executando"));
  }
  ASSERT_TRUE(server_->WaitForCalls(21, std::chrono::milliseconds(3 * kE2eWaitMs)));
  EXPECT_EQ(server_->Calls().back().body, "Processo em andamento\nQ21");
  ASSERT_TRUE(
      WaitUntil([&] { return CountLines(log_.Lines(), "VELDUNA PENDENTE FECHADO=Q21") == 1; }));
  const std::vector<std::string> lines = log_.Lines();
  for (int i = 1; i <= 21; ++i)
    EXPECT_EQ(CountLines(lines, "VELDUNA PENDENTE FECHADO=Q" + std::to_string(i)), 1) << i;
  EXPECT_EQ(CountLines(lines, "VELDUNA PENDENTE LIBERADO=Q1"), 0);
  EXPECT_EQ(CountLines(lines, "SHOW FAILED"), 0);
}

}  // namespace
}  // namespace activator::testing
