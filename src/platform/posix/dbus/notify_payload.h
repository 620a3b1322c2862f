// How a notification of ours is written into a freedesktop Notify call, and
// how a clicked action key is read back. Pure text work, no bus: the centre
// (notification_centre.h) sends what this builds.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/app_notifications.h"

namespace activator::dbus {

// Application name every notification carries.
inline constexpr std::string_view kAppName = "Zorvell Lab";
// Every action key of ours starts with this; any other key is foreign.
inline constexpr std::string_view kActionKeyPrefix = "zorvell:";
// The key servers send for a click on the body rather than on a button.
inline constexpr std::string_view kDefaultActionKey = "default";
// Its label. Servers that draw no button for "default" still want one:
// swaync drops an action whose label is empty, body click included.
inline constexpr std::string_view kDefaultActionLabel = "Abrir";

// The words of a job notification's button arguments that the port reads
// (the job protocol's own, which this layer cannot include): a click on the
// body may stand for a button that opens the result, never for one that ends
// the job, and a button built for a failed job marks its notification as one
// that needs attention.
inline constexpr std::string_view kActionArgument = "acao";
inline constexpr std::string_view kBodyClickAction = "salvar";
inline constexpr std::string_view kStateArgument = "estado";
inline constexpr std::string_view kCriticalState = "erro";

using Arguments = std::vector<std::pair<std::string, std::string>>;

// One button, its texts already in UTF-8.
struct ButtonContent {
  std::string caption;
  Arguments arguments;  // in the order they were added
};

// Everything a Notify call needs from one built notification (UTF-8).
struct NotificationContent {
  std::string tag;
  std::string group;
  std::vector<std::string> texts;  // text lines, in the order added
  std::optional<std::string> image_address;
  std::vector<ButtonContent> buttons;
  std::optional<int> progress;  // 0 to 100 when it has a progress bar
  std::string attribution;      // a line of its own below the texts; empty: none
  // Only replaces a notification shown under its tag and group; when none is
  // there, nothing is shown. The service has no list of notifications off
  // screen to put it in instead.
  bool replace_only = false;
};

// The fields of Notify that depend on the notification (the rest are fixed).
struct NotifyRequest {
  std::string summary;
  std::string body;
  // key, label, key, label, ...; the buttons, then "default", which most
  // servers send for a click on the body only when offered.
  std::vector<std::string> actions;
  // The action key a click on the body stands for; empty when it stands for
  // none (the click then comes without arguments).
  std::string body_click_key;
  std::optional<std::string> image_path;
  std::string stack_tag;
  // Hint "urgency" 2 (critical): servers colour such a notification and keep it.
  bool critical = false;
  // Hint "value": the progress bar most servers draw.
  std::optional<int32_t> progress;
};

// What a server does with a notification that the service's protocol leaves
// open, and the program has to write around.
struct ServerHabits {
  // Draws every action as a button, "default" included when it has a label
  // (an action with an empty label it leaves out).
  bool draws_default_action = false;
  // Shows a notification with the hint "value" as a bare gauge: no texts,
  // no buttons.
  bool value_hides_content = false;

  bool operator==(const ServerHabits&) const = default;
};

// The habits of the server that calls itself `name` in GetServerInformation.
ServerHabits HabitsOfServer(std::string_view name);

// Where the server that calls itself `name`, made by `vendor`, draws
// notifications in its stock configuration. Only the core acts on it (which
// notification carries the count of waiting jobs), so it is kept apart from
// the habits a Notify is written for.
CentreOrder DrawOrderOfServer(std::string_view name, std::string_view vendor);

// Servers read the body as markup: &, < and > become entities so a job id or
// caption is shown as written and cannot inject markup.
std::string EscapeBodyMarkup(std::string_view text);

// A job id as a body line for people: its bytes are the worker's, so a line
// end, an escape or a direction override in it is written out (\n, \x1b,
// \u202e) instead of starting a line, driving a terminal-like server or
// turning what follows backwards.
std::string VisibleText(std::string_view utf8);

// A body line that holds a direction control or right-to-left letters,
// wrapped in a first-strong isolate, so that it cannot turn the lines and
// words we put around it.
std::string IsolateDirection(std::string_view utf8);


// "zorvell:" + key=value&key=value with every key and value percent-encoded,
// so arguments holding '=', '&' or any byte come back unchanged.
std::string EncodeActionKey(const Arguments& arguments);
// The arguments of one of our action keys; nullopt for a foreign or malformed
// key. Later duplicates of a key win, as a map built by AddArgument would.
std::optional<std::map<std::string, std::string>> DecodeActionKey(std::string_view key);

// The local path of a "file://" address ("file:///a/b%20c.png" gives
// "/a/b c.png"; an empty or "localhost" host is accepted). Any other address
// is returned unchanged, which servers also accept as an image.
std::string ImagePathFromAddress(std::string_view address);

// Summary = first text line; body = second line, escaped, followed by the
// further text lines, the attribution and the tag, each on a line of its own;
// the tag so that different jobs never read as duplicates (dunst merges
// notifications whose app name, summary and body are equal). A body click stands for the one button
// when there is exactly one and it opens the result ("acao" = "salvar").
// For a server with `habits`: no "default" where it would be drawn as a
// button, and the progress as a line of text where a bar would hide the rest.
NotifyRequest BuildNotifyRequest(const NotificationContent& content,
                                 const ServerHabits& habits = {});

}  // namespace activator::dbus
