#include "platform/posix/dbus/notify_payload.h"

#include <algorithm>

#include "base/percent_encoding.h"

namespace activator::dbus {

std::string EscapeBodyMarkup(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string EncodeActionKey(const Arguments& arguments) {
  std::string key(kActionKeyPrefix);
  bool first = true;
  for (const auto& [name, value] : arguments) {
    if (!first) key += '&';
    first = false;
    key += PercentEncode(name);
    key += '=';
    key += PercentEncode(value);
  }
  return key;
}

std::optional<std::map<std::string, std::string>> DecodeActionKey(std::string_view key) {
  if (key.substr(0, kActionKeyPrefix.size()) != kActionKeyPrefix) return std::nullopt;
  std::string_view rest = key.substr(kActionKeyPrefix.size());
  std::map<std::string, std::string> arguments;
  if (rest.empty()) return arguments;
  while (true) {
    std::size_t amp = rest.find('&');
    std::string_view pair = rest.substr(0, amp);
    std::size_t eq = pair.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    auto name = PercentDecode(pair.substr(0, eq));
    auto value = PercentDecode(pair.substr(eq + 1));
    if (!name || !value) return std::nullopt;
    arguments[*name] = *value;
    if (amp == std::string_view::npos) break;
    rest = rest.substr(amp + 1);
  }
  return arguments;
}

std::string ImagePathFromAddress(std::string_view address) {
  constexpr std::string_view kScheme = "file://";
  if (address.substr(0, kScheme.size()) != kScheme) return std::string(address);
  std::string_view rest = address.substr(kScheme.size());
  std::size_t slash = rest.find('/');
  if (slash == std::string_view::npos) return std::string(address);
  std::string_view host = rest.substr(0, slash);
  if (!host.empty() && host != "localhost") return std::string(address);
  auto path = PercentDecode(rest.substr(slash));
  if (!path) return std::string(address);
  return *path;
}

ServerHabits HabitsOfServer(std::string_view name) {
  // xfce4-notifyd 0.7: "default" becomes a button when labelled, and the
  // hint "value" turns the notification into a volume-style gauge.
  if (name == "Xfce Notify Daemon") return {true, true};
  return {};
}

NotifyRequest BuildNotifyRequest(const NotificationContent& content, const ServerHabits& habits) {
  NotifyRequest request;
  if (!content.texts.empty()) request.summary = content.texts[0];
  std::string body;
  for (std::size_t i = 1; i < content.texts.size(); ++i) {
    if (i > 1) body += '\n';
    body += content.texts[i];
  }
  const bool progress_as_text = content.progress && habits.value_hides_content;
  const std::string progress_line =
      progress_as_text ? std::to_string(*content.progress) + "%" : std::string();
  for (const std::string* line : {&progress_line, &content.attribution, &content.tag}) {
    if (line->empty()) continue;
    if (!body.empty()) body += '\n';
    body += *line;
  }
  request.body = EscapeBodyMarkup(body);
  for (const auto& button : content.buttons) {
    request.actions.push_back(EncodeActionKey(button.arguments));
    request.actions.push_back(button.caption);
    for (const auto& [name, value] : button.arguments) {
      if (name == kStateArgument && value == kCriticalState) request.critical = true;
    }
  }
  if (content.buttons.size() == 1) {
    const Arguments& only = content.buttons[0].arguments;
    const bool opens_result = std::any_of(only.begin(), only.end(), [](const auto& argument) {
      return argument.first == kActionArgument && argument.second == kBodyClickAction;
    });
    if (opens_result) request.body_click_key = request.actions[0];
  }
  if (!habits.draws_default_action) {
    request.actions.emplace_back(kDefaultActionKey);
    request.actions.emplace_back(kDefaultActionLabel);
  }
  if (!progress_as_text) request.progress = content.progress;
  if (content.image_address) request.image_path = ImagePathFromAddress(*content.image_address);
  request.stack_tag = content.tag + "|" + content.group;
  return request;
}

}  // namespace activator::dbus
