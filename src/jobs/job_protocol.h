// The words of the protocol between the worker and the activator: the field
// names of job messages, event messages and notification arguments, the job
// actions, the button actions and the job states the program acts on. Each is
// spelled once here, in both encodings the program needs: UTF-8 for messages
// and the log, UTF-16 for the notification platform.
#pragma once

#include <chrono>
#include <cstddef>
#include <string_view>

namespace activator {

// Every word is ASCII, so one spelling gives both encodings.
template <std::size_t N>
struct ProtocolWord {
  char utf8[N] = {};
  char16_t utf16[N] = {};

  consteval ProtocolWord(const char (&word)[N]) {
    for (std::size_t i = 0; i < N; ++i) {
      utf8[i] = word[i];
      utf16[i] = static_cast<char16_t>(word[i]);
    }
  }
  constexpr std::string_view text() const { return {utf8, N - 1}; }
  constexpr std::u16string_view text16() const { return {utf16, N - 1}; }
};

// "&<field>=": how a field other than the first begins inside a message.
template <std::size_t N>
struct FieldKey {
  char key[N + 2] = {};

  consteval FieldKey(const ProtocolWord<N>& field) {
    key[0] = '&';
    for (std::size_t i = 0; i + 1 < N; ++i) key[i + 1] = field.utf8[i];
    key[N] = '=';
  }
  constexpr std::string_view text() const { return {key, N + 1}; }
};

// Field names.
inline constexpr ProtocolWord kFieldAction("acao");
inline constexpr ProtocolWord kFieldJobId("id_execucao");
inline constexpr ProtocolWord kFieldReplyPipe("pipe");
inline constexpr ProtocolWord kFieldJobState("estado");
// Optional fields after the job id, which a reader that does not know them
// ignores: what the job is, how far it got, and which notices it wants.
inline constexpr ProtocolWord kFieldDescription("descricao");
inline constexpr ProtocolWord kFieldProgress("progresso");
inline constexpr ProtocolWord kFieldNotices("avisos");
// In an event telling a job that it waits behind the display limit: how many
// jobs wait before it, itself included.
inline constexpr ProtocolWord kFieldQueuePosition("posicao");

// How the fields after the first begin inside a message.
inline constexpr FieldKey kJobIdKey(kFieldJobId);
inline constexpr FieldKey kReplyPipeKey(kFieldReplyPipe);
inline constexpr FieldKey kJobStateKey(kFieldJobState);
inline constexpr FieldKey kDescriptionKey(kFieldDescription);
inline constexpr FieldKey kProgressKey(kFieldProgress);
inline constexpr FieldKey kNoticesKey(kFieldNotices);
inline constexpr FieldKey kQueuePositionKey(kFieldQueuePosition);

// Job actions, in job messages.
inline constexpr ProtocolWord kActionAnnounce("continuar");
inline constexpr ProtocolWord kActionUpdate("atualizar");

// Button actions, in notification arguments and event messages.
inline constexpr ProtocolWord kButtonAbort("abortar");
inline constexpr ProtocolWord kButtonSave("salvar");

// The one notice a job may ask for ("avisos=fila"), and the action of the
// event that gives it: the job waits in the queue behind the display limit.
inline constexpr ProtocolWord kNoticeQueued("fila");
inline constexpr ProtocolWord kEventQueued("fila");

// The job states the program acts on; any other text is kept as it is.
inline constexpr ProtocolWord kStateRunning("executando");
inline constexpr ProtocolWord kStateConcluded("concluido");
inline constexpr ProtocolWord kStateError("erro");

// How long a connected client may take to write its message. A worker writes
// at once; one that connects and stays silent would otherwise hold the one
// connection the server serves, and every worker behind it, for good. A worker
// that finds the pipe busy waits at least this long before it gives up.
inline constexpr std::chrono::seconds kJobMessageWait{5};

}  // namespace activator
