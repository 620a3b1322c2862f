// The job message: what the worker writes into the job pipe, one message per
// connection, for example
//   acao=continuar&id_execucao=J1&pipe=P1&estado=executando
// Values are taken byte for byte: no trimming, unescaping or decoding.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace activator {

// At most this many bytes of one connection form the message.
inline constexpr std::size_t kMaxJobMessageBytes = 4095;

// The longest description, in bytes of UTF-8 once decoded: one line under a
// notification's title.
inline constexpr std::size_t kMaxDescriptionBytes = 200;

struct JobMessage {
  std::string action;      // "continuar", "atualizar" or any other text
  std::string job_id;      // cannot contain '&'
  std::string reply_pipe;  // empty when the message names none
  std::string job_state;   // everything after "&estado=", empty when absent

  // The optional fields, placed after the job id and before "&pipe=" (or
  // "&estado=" when there is none), where a reader that does not know them
  // ignores them. Absent unless the message gives them.
  std::optional<std::string> description = {};  // decoded; empty clears an earlier one
  std::optional<int> progress = {};             // 0 to 100
  bool wants_queue_notice = false;         // "avisos=fila"
  // Only in the event "fila" on a reply pipe: the job's place in the queue.
  std::optional<unsigned long long> queue_position = {};
  // One log line each (without the "PYTHON " prefix) for an optional field
  // whose value could not be used; the rest of the message still counts.
  std::vector<std::string> ignored_fields = {};
};

enum class JobMessageProblem {
  kNone,
  kTooShort,           // fewer than five bytes: no room for "acao="
  kNoJobId,            // no "&id_execucao=" anywhere
  kJobIdInsideAction,  // "&id_execucao=" begins before byte 5
  kJobIdNotUtf8,       // the job id is not well-formed UTF-8
  kJobIdTooLong,       // the job id cannot be a notification's tag
  kJobIdNoncharacter,  // the job id holds a Unicode noncharacter
  kCut,                // cut short before "&estado=" (ParseMaybeCutJobMessage)
};

struct ParsedJobMessage {
  JobMessageProblem problem = JobMessageProblem::kNone;
  JobMessage message;  // meaningful only when problem is kNone
};

// The message carried by the bytes of one read: at most kMaxJobMessageBytes,
// ending at the first NUL byte.
std::string_view JobMessageFromBytes(std::string_view bytes);

// A worker that writes its message as a line ("...&estado=concluido\n") means
// the line end as the message's end: kept, it would become part of the job
// state (or of the id, when no field follows it), and a finished job would
// never be shown finished. One LF, or CR LF, at the very end is dropped, and
// true returned; a line end anywhere else stays where the worker put it.
bool DropFinalLineEnd(std::string_view& message);

// Splits a message into its fields. Every key is searched from the start of
// the message and the first occurrence counts; the job state is always the
// last field, so a "&pipe=" after "&estado=" belongs to the state. Messages
// the format gives no meaning to are reported through `problem`, never read
// out of range.
//
// A job id must be well-formed UTF-8: it travels through the notification
// platform as UTF-16 and comes back with a click, and an ill-formed byte would
// come back as U+FFFD - another id, whose reply pipe and index file are not
// the job's, and which two different ids could share. Nor may it hold a
// Unicode noncharacter: the session bus refuses a string with one, and the
// job could never be shown.
ParsedJobMessage ParseJobMessage(std::string_view message);

// ParseJobMessage for a message that may have been cut short: the read that
// took it ended at a pause or a time limit, not with its writer's close. The
// state is always the last field, so a message that has not reached
// "&estado=" has lost a part, whatever its beginning looks like, and is
// refused as kCut; acting on it would record a job with an empty state. One
// that has reached it is parsed as any other: a cut inside the state's value
// cannot be told from a shorter value.
ParsedJobMessage ParseMaybeCutJobMessage(std::string_view message);

// The message the fields make, in the order the format gives them; the
// optional fields only when given, the reply pipe only when it is not empty.
// Also the shape of an event message.
std::string FormatJobMessage(const JobMessage& message);

// A description as it travels in a message: every byte outside A-Z a-z 0-9
// - . _ ~ percent-encoded (upper-case hex), so it never holds '&'.
std::string EncodeDescription(std::string_view text);

// Well-formed UTF-8 as Unicode defines it: no overlong forms, no surrogates,
// nothing above U+10FFFF, no cut sequence. Exactly these texts survive the
// conversion to UTF-16 and back unchanged, as a job id must.
bool IsWellFormedUtf8(std::string_view text);

// The longest tag a notification may have, in UTF-16 units: the Windows
// notification platform refuses a longer one when the notification is shown.
// A job id is its notification's tag on every port, so that a worker's ids
// work the same everywhere.
inline constexpr std::size_t kMaxNotificationTagUnits = 64;

// True when the well-formed UTF-8 `job_id` is at most kMaxNotificationTagUnits
// UTF-16 units long (a character above U+FFFF takes two).
bool FitsNotificationTag(std::string_view job_id);

// True when well-formed UTF-8 `text` holds a noncharacter: U+FDD0..U+FDEF,
// or U+FFFE or U+FFFF of any plane.
bool HasNoncharacter(std::string_view text);

// A short text naming the problem, for the log.
const char* DescribeJobMessageProblem(JobMessageProblem problem);

}  // namespace activator
