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

namespace activator::dbus {

// Application name every notification carries.
inline constexpr std::string_view kAppName = "Zorvell Lab";
// Every action key of ours starts with this; any other key is foreign.
inline constexpr std::string_view kActionKeyPrefix = "zorvell:";
// The key servers send for a click on the body rather than on a button.
inline constexpr std::string_view kDefaultActionKey = "default";

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
};

// The fields of Notify that depend on the notification (the rest are fixed).
struct NotifyRequest {
  std::string summary;
  std::string body;
  // key, label, key, label, ...; the buttons, then "default" with an empty
  // label, which most servers send for a click on the body only when offered.
  std::vector<std::string> actions;
  // The action key a click on the body stands for; empty when it stands for
  // none (the click then comes without arguments).
  std::string body_click_key;
  std::optional<std::string> image_path;
  std::string stack_tag;
  // Hint "urgency" 2 (critical): servers colour such a notification and keep it.
  bool critical = false;
};

// Servers read the body as markup: &, < and > become entities so a job id or
// caption is shown as written and cannot inject markup.
std::string EscapeBodyMarkup(std::string_view text);

// Percent-encodes every byte outside A-Z a-z 0-9 - . _ ~ (upper-case hex).
std::string PercentEncode(std::string_view text);
// Reverses PercentEncode; nullopt for a malformed escape.
std::optional<std::string> PercentDecode(std::string_view text);

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

// Summary = first text line; body = second line, escaped, followed by the tag
// on a line of its own so that different jobs never read as duplicates (dunst
// merges notifications whose app name, summary and body are equal). Further
// text lines follow the second one. A body click stands for the one button
// when there is exactly one and it opens the result ("acao" = "salvar").
NotifyRequest BuildNotifyRequest(const NotificationContent& content);

}  // namespace activator::dbus
