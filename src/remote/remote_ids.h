// The names a server's jobs take on the desktop: their job ids, which must
// never meet another server's or a local job's, and the names of the result
// copies the desktop keeps. What the server sends is less trusted than the
// desktop, so every name made of it is made safe here, whatever it holds.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace activator::remote {

// A server's name as it goes into ids and file names: the host the desktop's
// user gave (never what the server says of itself), its bytes outside
// A-Z a-z 0-9 . _ - ~ made '_'. A name that had to change, or is longer than
// kMaxServerLabelBytes, is cut and ends with "~" and 8 hex digits of a hash
// of the whole name, so that "a:b" and "a?b" stay two servers. A label
// passed in again comes back as it is.
inline constexpr std::size_t kMaxServerLabelBytes = 32;
std::string MakeServerLabel(std::string_view host);

// The desktop's id of the worker's job `worker_id` on the server `label` (a
// MakeServerLabel result): "@<label>+<worker id>", or, when that would not
// be a job id the desktop takes (longer than a notification's tag, not
// well-formed UTF-8, a '&' or a noncharacter in it) or could not be part of
// a file name on every system (a control byte or one of < > : " / \ | ? *),
// "@<label>#<16 hex digits of a hash of the worker id>". So every desktop id
// is a file name's stem on Linux and on Windows alike: the activator names a
// job's result index after it. The label holds neither '+' nor '#', so no id
// of one server is ever another's. A local job could still choose an id of
// this shape: IsRemoteJobId tells them apart for the desktop that wants to
// refuse them.
std::string DesktopJobId(std::string_view label, std::string_view worker_id);

// The worker's own id, byte for byte, of a desktop id of the first form
// for the server `label`; nullopt for an id of another server, of the hash
// form (see HashedIdMemory) or not of a server at all.
std::optional<std::string> WorkerJobIdOf(std::string_view label, std::string_view desktop_id);

// True for an id of either form DesktopJobId makes, of any server.
bool IsRemoteJobId(std::string_view id);

// The worker ids behind the desktop ids of the hash form, for the clicks on
// their notifications: the newest `capacity` are kept, as many as the
// desktop can have on screen and in its queue many times over.
class HashedIdMemory {
 public:
  explicit HashedIdMemory(std::size_t capacity = 4096) : capacity_(capacity) {}
  // Notes the pair when `desktop_id` is of the hash form.
  void Remember(const std::string& desktop_id, std::string_view worker_id);
  std::optional<std::string> Find(const std::string& desktop_id) const;

 private:
  std::size_t capacity_;
  std::unordered_map<std::string, std::string> ids_;
  std::deque<std::string> order_;  // oldest first
};

// The file name (no folder) of a result copy of the job `worker_id` of the
// server `label`, fetched as the server's `server_name`:
// "remote-<label>-<16 hex digits of a hash of the worker id>-<name>". The
// server's name keeps only A-Z a-z 0-9 . _ - (any other byte, and a leading
// dot, become '_'), at most kMaxCopyNameBytes of it; an empty one is
// "resultado.txt". So the name never holds a separator, "..", a NUL or a
// control byte, never ends in a dot or a blank (which Windows drops), and is
// the same for the same job, whose later copy replaces the earlier one.
inline constexpr std::size_t kMaxCopyNameBytes = 80;
std::string ResultCopyFileName(std::string_view label, std::string_view worker_id,
                               std::string_view server_name);

}  // namespace activator::remote
