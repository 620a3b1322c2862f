// The program as a whole on a private bus when the notification server is
// missing at start-up, vanishes and returns, or the bus itself goes away.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>

#include "activation/reply_listener.h"
#include "dbus/e2e_support.h"

namespace activator::testing {
namespace {

class BusFaultsTest : public BusRunTest {};

// A job that no server was there to show waits, first in line, and is shown
// as soon as one appears.
TEST_F(BusFaultsTest, ServerMissingAtStartUpThenTheWaitingJobIsShownOnceItAppears) {
  StartBus();
  StartProgram();
  EXPECT_TRUE(
      InOrder(log_.Lines(), {"WPN CALLBACK REGISTERED", "WPN REGISTER FAILED", "GETALL TOTAL=0",
                             "VELDUNA QUEUE READY", "PYTHON PIPE READY"}));

  ASSERT_TRUE(SendJobMessage("acao=continuar&id_execucao=F1&estado=executando"));
  ASSERT_TRUE(log_.WaitForLine("VELDUNA SERVICO INDISPONIVEL=F1", kE2eWaitMs));
  ASSERT_TRUE(SendJobMessage("acao=continuar&id_execucao=F2&estado=executando"));
  ASSERT_TRUE(log_.WaitForLine("VELDUNA RECEBEU=F2", kE2eWaitMs));

  StartServer();
  ASSERT_TRUE(server_->WaitForCalls(2, std::chrono::milliseconds(kE2eWaitMs)));
  EXPECT_EQ(server_->Calls().at(0).body, "Processo em andamento\nF1");
  EXPECT_EQ(server_->Calls().at(1).body, "Processo em andamento\nF2");
  ASSERT_TRUE(log_.WaitForLine("F2|zorvell_processos", kE2eWaitMs));

  const std::vector<std::string> lines = log_.Lines();
  EXPECT_TRUE(
      InOrder(lines, {"VELDUNA PROCESSANDO=F1", "VELDUNA ESTADO PARA EXIBIR=F1 ESTADO=executando",
                      "BUILD NOTIFICATION OK", "SHOW FAILED", "VELDUNA SERVICO INDISPONIVEL=F1",
                      "VELDUNA SERVICO DE VOLTA", "VELDUNA PROCESSANDO=F1", "BUILD NOTIFICATION OK",
                      "SHOW OK", "VELDUNA PROCESSANDO=F2", "BUILD NOTIFICATION OK", "SHOW OK"}));
  EXPECT_EQ(CountLines(lines, "SHOW FAILED"), 1);
  EXPECT_EQ(CountLines(lines, "MONITOR GETALL ERRO"), 0);
}

TEST_F(BusFaultsTest, ServerVanishesAndReturns) {
  StartBus();
  StartServer();
  StartProgram();
  ASSERT_TRUE(SendJobMessage("acao=continuar&id_execucao=V1&estado=executando"));
  ASSERT_TRUE(log_.WaitForLine("V1|zorvell_processos", kE2eWaitMs));

  // Gone, and everything it showed with it: the monitor counts nothing. (Its
  // first pass may have come after V1's show, so earlier counts are no guide.)
  const int empty_before = CountLines(log_.Lines(), "TOTAL=0");
  server_->Vanish();
  ASSERT_TRUE(WaitUntil([&] { return CountLines(log_.Lines(), "TOTAL=0") > empty_before; }));
  ASSERT_TRUE(SendJobMessage("acao=continuar&id_execucao=V2&estado=executando"));
  ASSERT_TRUE(log_.WaitForLine("VELDUNA SERVICO INDISPONIVEL=V2", kE2eWaitMs));

  server_->Return();
  ASSERT_TRUE(server_->WaitForCalls(2, std::chrono::milliseconds(kE2eWaitMs)));
  ASSERT_TRUE(SendJobMessage("acao=continuar&id_execucao=V3&estado=executando"));
  ASSERT_TRUE(server_->WaitForCalls(3, std::chrono::milliseconds(kE2eWaitMs)));
  ASSERT_TRUE(SendJobMessage("acao=atualizar&id_execucao=V1&estado=concluido"));
  ASSERT_TRUE(server_->WaitForCalls(4, std::chrono::milliseconds(kE2eWaitMs)));
  std::vector<NotifyCall> calls = server_->Calls();
  EXPECT_EQ(calls[1].body, "Processo em andamento\nV2");
  EXPECT_EQ(calls[2].body, "Processo em andamento\nV3");
  // The returned server knows nothing of V1: shown anew, not as a replacement.
  EXPECT_EQ(calls[3].body, "Processo Concluido\nV1");
  EXPECT_EQ(calls[3].replaces_id, 0u);
  ASSERT_TRUE(log_.WaitForLine("V3|zorvell_processos", kE2eWaitMs));

  const std::vector<std::string> lines = log_.Lines();
  EXPECT_TRUE(InOrder(lines, {"VELDUNA PROCESSANDO=V2", "BUILD NOTIFICATION OK", "SHOW FAILED",
                              "VELDUNA SERVICO INDISPONIVEL=V2", "VELDUNA SERVICO DE VOLTA",
                              "VELDUNA PROCESSANDO=V2", "BUILD NOTIFICATION OK", "SHOW OK",
                              "VELDUNA PROCESSANDO=V3", "BUILD NOTIFICATION OK", "SHOW OK"}));
  EXPECT_TRUE(
      InOrder(lines, {"ENTROU MOSTRAR CONCLUIDA", "BUILD CONCLUIDA OK", "SHOW CONCLUIDA OK"}));
  EXPECT_EQ(CountLines(lines, "SHOW FAILED"), 1);
  EXPECT_EQ(CountLines(lines, "MONITOR GETALL ERRO"), 0);
}

TEST_F(BusFaultsTest, BusGoingAwayLeavesTheJobPipeServed) {
  StartBus();
  StartServer();
  StartProgram();
  ASSERT_TRUE(SendJobMessage("acao=continuar&id_execucao=B1&estado=executando"));
  ASSERT_TRUE(log_.WaitForLine("B1|zorvell_processos", kE2eWaitMs));

  server_.reset();
  bus_->Kill();
  ASSERT_TRUE(log_.WaitForLine("MONITOR GETALL ERRO", kE2eWaitMs));

  ASSERT_TRUE(SendJobMessage("acao=continuar&id_execucao=B2&estado=executando"));
  ASSERT_TRUE(log_.WaitForLine("SHOW FAILED", kE2eWaitMs));
  ASSERT_TRUE(SendJobMessage("acao=atualizar&id_execucao=B1&estado=erro"));
  ASSERT_TRUE(log_.WaitForLine("SAIU ERRO", kE2eWaitMs));
  EXPECT_TRUE(program_.Running());

  const std::vector<std::string> lines = log_.Lines();
  EXPECT_TRUE(InOrder(
      lines,
      {"VELDUNA RECEBEU=B2", "PYTHON PIPE RECEIVED=acao=atualizar&id_execucao=B1&estado=erro",
       "VELDUNA ESTADO REGISTRADO=B1 ESTADO=erro", "ENTROU ERRO", "ENTROU MOSTRAR ERRO",
       "BUILD ERRO OK", "SHOW ERRO FAILED", "SAIU ERRO"}));
  EXPECT_TRUE(InOrder(lines, {"VELDUNA PROCESSANDO=B2", "BUILD NOTIFICATION OK", "SHOW FAILED"}));
}

// Killed in the middle of a job and started again: the notification its
// predecessor left is still the job's. A click on it (from a server that
// sends its signals to every connection) reaches the worker's reply pipe,
// and the job's next form replaces it rather than standing beside it.
TEST_F(BusFaultsTest, KilledInTheMiddleOfAJobGoesOnWhereItStopped) {
  StartBus();
  StartServer();
  StartProgram();
  ReplyListener worker;
  ASSERT_TRUE(worker.listening());
  ASSERT_TRUE(SendJobMessage("acao=continuar&id_execucao=K1&pipe=" + worker.pipe_name() +
                             "&estado=executando"));
  ASSERT_TRUE(server_->WaitForCalls(1, std::chrono::milliseconds(kE2eWaitMs)));
  const NotifyCall in_progress = server_->Calls().at(0);
  ASSERT_TRUE(log_.WaitForLine("K1|zorvell_processos", kE2eWaitMs));

  KillAndRestartProgram();
  EXPECT_TRUE(InOrder(log_.Lines(), {"ESTADO RESTAURADO PROCESSOS=1 FILA=0 TELA=1",
                                     "WPN REGISTER OK", "PYTHON PIPE READY"}));

  server_->SendActionInvoked(in_progress.id, in_progress.actions.at(0), "");
  EXPECT_EQ(worker.ReceiveOne(kE2eWaitMs), "acao=abortar&id_execucao=K1&estado=executando");

  ASSERT_TRUE(SendJobMessage("acao=atualizar&id_execucao=K1&estado=concluido"));
  ASSERT_TRUE(server_->WaitForCalls(2, std::chrono::milliseconds(kE2eWaitMs)));
  const NotifyCall concluded = server_->Calls().at(1);
  EXPECT_EQ(concluded.body, "Processo Concluido\nK1");
  EXPECT_EQ(concluded.replaces_id, in_progress.id);
  EXPECT_EQ(server_->OpenIds(), std::set<uint32_t>{in_progress.id});
}

// Killed with the display limit reached and jobs still queued, at once, so
// that the monitor may not have seen every show yet: after the restart
// nothing shown is shown again, the notifications the user closes make room,
// and the queued jobs take it, each shown once, never more than the limit at
// once.
TEST_F(BusFaultsTest, KilledWithAFullQueueShowsEachQueuedJobOnceAfterTheRestart) {
  constexpr int kJobs = 30;
  constexpr std::size_t kClosed = 12;
  StartBus();
  StartServer();
  StartProgram();
  for (int i = 0; i < kJobs; ++i) {
    ASSERT_TRUE(
        SendJobMessage("acao=continuar&id_execucao=Q" + std::to_string(i) + "&estado=executando"));
  }
  ASSERT_TRUE(log_.WaitForLine("VELDUNA RECEBEU=Q" + std::to_string(kJobs - 1), kE2eWaitMs));
  ASSERT_TRUE(WaitUntil([&] { return CountLines(log_.Lines(), "SHOW OK") == 20; }));

  KillAndRestartProgram();
  const std::vector<std::string> restarted = log_.Lines();
  EXPECT_TRUE(std::any_of(restarted.begin(), restarted.end(), [](const std::string& line) {
    return line.starts_with("ESTADO RESTAURADO PROCESSOS=30 FILA=10 ");
  }));
  // The user closes twelve; the server tells every connection.
  server_->BroadcastSignals(true);
  const std::set<uint32_t> open = server_->OpenIds();
  ASSERT_EQ(open.size(), 20u);
  for (auto it = open.begin(); it != std::next(open.begin(), kClosed); ++it) server_->Dismiss(*it);

  ASSERT_TRUE(server_->WaitForCalls(kJobs, std::chrono::milliseconds(kE2eWaitMs)));
  ASSERT_TRUE(log_.WaitForLine("TOTAL=18", kE2eWaitMs));
  std::map<std::string, int> shows;
  for (const NotifyCall& call : server_->Calls()) ++shows[call.body];
  EXPECT_EQ(shows.size(), static_cast<std::size_t>(kJobs));
  for (const auto& [body, count] : shows) EXPECT_EQ(count, 1) << body;
  EXPECT_LE(server_->MaxOpen(), 20u);
  EXPECT_TRUE(program_.Running());
}

}  // namespace
}  // namespace activator::testing
