// What the port keeps across a restart of the program: the server's unique
// name and the notifications it showed, so that a successor can replace them
// and take their clicks while the same server runs.
#include <charconv>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/dbus/bus_link.h"

namespace activator::dbus {

namespace {

// Kept entries: "server" holds the server's unique name; "n" + decimal id one
// notification shown, as its fields "<length>:<bytes>": tag, group, action
// keys.
constexpr std::string_view kServerEntry = "server";
constexpr char kShownEntryPrefix = 'n';

void AppendField(std::string& out, const std::string& field) {
  out += std::to_string(field.size());
  out += ':';
  out += field;
}

std::optional<std::vector<std::string>> SplitFields(std::string_view text) {
  std::vector<std::string> fields;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t colon = text.find(':', at);
    std::size_t length = 0;
    if (colon == std::string_view::npos) return std::nullopt;
    const auto [ptr, error] = std::from_chars(text.data() + at, text.data() + colon, length);
    if (error != std::errc() || ptr != text.data() + colon || length > text.size() - colon - 1)
      return std::nullopt;
    fields.emplace_back(text.substr(colon + 1, length));
    at = colon + 1 + length;
  }
  return fields;
}

std::optional<uint32_t> ShownEntryId(std::string_view key) {
  if (key.size() < 2 || key[0] != kShownEntryPrefix) return std::nullopt;
  uint32_t id = 0;
  const auto [ptr, error] = std::from_chars(key.data() + 1, key.data() + key.size(), id);
  if (error != std::errc() || ptr != key.data() + key.size() || id == 0) return std::nullopt;
  return id;
}

// What a body click on a kept notification stands for, as when it was shown:
// its one button when that button opens the result; nothing otherwise.
std::string BodyClickKeyOf(const std::set<std::string>& action_keys) {
  std::string only;
  for (const std::string& key : action_keys) {
    if (key == kDefaultActionKey) continue;
    if (!only.empty()) return std::string();
    only = key;
  }
  const auto arguments = DecodeActionKey(only);
  if (!arguments) return std::string();
  const auto action = arguments->find(std::string(kActionArgument));
  return action != arguments->end() && action->second == kBodyClickAction ? only : std::string();
}

}  // namespace

void NotificationCentre::ResumeKept(std::map<std::string, std::string> entries,
                                    KeptEntrySink sink) {
  Inherited inherited;
  for (const auto& [key, value] : entries) {
    if (key == kServerEntry) {
      inherited.server = value;
      continue;
    }
    const std::optional<uint32_t> id = ShownEntryId(key);
    const std::optional<std::vector<std::string>> fields = SplitFields(value);
    // An entry this build cannot read is left behind.
    if (!id || !fields || fields->size() < 2) continue;
    Shown shown;
    shown.key = {(*fields)[0], (*fields)[1]};
    shown.action_keys.insert(fields->begin() + 2, fields->end());
    shown.body_click_key = BodyClickKeyOf(shown.action_keys);
    inherited.shown.emplace(*id, std::move(shown));
  }
  MutexLock lock(mu_);
  keeper_ = std::move(sink);
  if (!inherited.server.empty() && !inherited.shown.empty()) inherited_ = std::move(inherited);
}

void NotificationCentre::SetServer(const std::string& server) {
  server_ = server;
  KeepServer();
  if (server.empty() || !inherited_) return;
  // The same unique name is the same server process: what it showed for our
  // predecessor is still on screen, unless it was closed meanwhile, which
  // the server tells (to those that hear it) or the count window ends.
  if (inherited_->server == server) {
    const auto counted_until = std::chrono::steady_clock::now() + kAdoptedCountWindow;
    for (auto& [id, shown] : inherited_->shown) {
      if (shown_.count(id) != 0 || ids_by_key_.count(shown.key) != 0) continue;
      shown.counted_until = counted_until;
      ids_by_key_[shown.key] = id;
      shown_[id] = std::move(shown);
      KeepShown(id);
    }
  }
  inherited_.reset();
}

void NotificationCentre::KeepServer() {
  if (keeper_) keeper_(std::string(kServerEntry), server_);
}

void NotificationCentre::KeepShown(uint32_t id) {
  if (!keeper_) return;
  auto it = shown_.find(id);
  if (it == shown_.end()) return;
  std::string value;
  AppendField(value, it->second.key.first);
  AppendField(value, it->second.key.second);
  for (const std::string& action : it->second.action_keys) AppendField(value, action);
  keeper_(kShownEntryPrefix + std::to_string(id), value);
}

void NotificationCentre::KeepClosed(uint32_t id) {
  if (keeper_) keeper_(kShownEntryPrefix + std::to_string(id), std::nullopt);
}

}  // namespace activator::dbus
