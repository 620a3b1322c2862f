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

namespace {

// The code point of the UTF-8 sequence at `text[i]`, with its length; a byte
// that begins no well-formed sequence stands for itself, one byte long.
std::pair<char32_t, std::size_t> CodePointAt(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3
                                    : (lead >> 3) == 0x1E ? 4 : 0;
  if (length == 0 || i + length > text.size()) return {lead, 1};
  char32_t code = length == 1 ? lead : lead & (0x7F >> length);
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return {lead, 1};
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  return {code, length};
}

bool IsDirectionControl(char32_t c) {
  return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069);
}

// Hebrew, Arabic and the scripts around them, with their presentation forms.
bool IsRightToLeft(char32_t c) {
  return (c >= 0x0590 && c <= 0x08FF) || (c >= 0xFB1D && c <= 0xFDFF) ||
         (c >= 0xFE70 && c <= 0xFEFF) || (c >= 0x10800 && c <= 0x10FFF) ||
         (c >= 0x1E800 && c <= 0x1EFFF);
}

}  // namespace

std::string VisibleText(std::string_view utf8) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const auto [code, length] = CodePointAt(utf8, i);
    if (code == '\n') {
      out += "\\n";
    } else if (code == '\r') {
      out += "\\r";
    } else if (code == '\t') {
      out += "\\t";
    } else if (code < 0x20 || code == 0x7F || (code >= 0x80 && code <= 0x9F) ||
               (length == 1 && code >= 0x80)) {
      out += "\\x";
      out += kHex[(code >> 4) & 0xF];
      out += kHex[code & 0xF];
    } else if (IsDirectionControl(code) || code == 0x2028 || code == 0x2029) {
      out += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(code >> shift) & 0xF];
    } else {
      out.append(utf8.substr(i, length));
    }
    i += length;
  }
  return out;
}

std::string IsolateDirection(std::string_view utf8) {
  for (std::size_t i = 0; i < utf8.size();) {
    const auto [code, length] = CodePointAt(utf8, i);
    if (IsDirectionControl(code) || IsRightToLeft(code))
      return "\u2068" + std::string(utf8) + "\u2069";
    i += length;
  }
  return std::string(utf8);
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

CentreOrder DrawOrderOfServer(std::string_view name, std::string_view vendor) {
  constexpr CentreOrder kOldestFirst{.newest_first = false, .replacement_is_new = false};
  // dunst 1.9 sorts by urgency, then by id, from the top, and has no limit of
  // its own: the newest of twenty is drawn off screen.
  if (name == "dunst") {
    CentreOrder urgent_then_oldest = kOldestFirst;
    urgent_then_oldest.urgent_first = true;
    return urgent_then_oldest;
  }
  // notification-daemon shows one at a time, the oldest; Plasma shows the
  // oldest few and holds back the rest.
  if ((name == "Notification Daemon" && vendor == "GNOME") || name == "Plasma") return kOldestFirst;
  // The others stack the newest on top (MATE's daemon, mako, swaync) or keep
  // all twenty in view (xfce4-notifyd). A notification replaced through
  // replaces_id keeps its place on every one of them.
  return {.newest_first = true, .replacement_is_new = false};
}

NotifyRequest BuildNotifyRequest(const NotificationContent& content, const ServerHabits& habits) {
  NotifyRequest request;
  if (!content.texts.empty()) request.summary = content.texts[0];
  std::string body;
  for (std::size_t i = 1; i < content.texts.size(); ++i) {
    if (i > 1) body += '\n';
    body += IsolateDirection(content.texts[i]);
  }
  const bool progress_as_text = content.progress && habits.value_hides_content;
  const std::string progress_line =
      progress_as_text ? std::to_string(*content.progress) + "%" : std::string();
  const std::string tag_line = VisibleText(content.tag);
  for (const std::string* line : {&progress_line, &content.attribution, &tag_line}) {
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
