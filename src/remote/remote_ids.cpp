#include "remote/remote_ids.h"

#include <algorithm>
#include <cstdint>

#include "jobs/job_message.h"

namespace activator::remote {

namespace {

uint64_t Fnv1a(std::string_view bytes) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (const char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ull;
  }
  return hash;
}

std::string Hex(uint64_t value, int digits) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text(static_cast<std::size_t>(digits), '0');
  for (int i = digits - 1; i >= 0; --i, value >>= 4)
    text[static_cast<std::size_t>(i)] = kHex[value & 0xF];
  return text;
}

bool IsPlainByte(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '-';
}

constexpr std::size_t kHashSuffixBytes = 9;  // "~" and 8 hex digits
constexpr char kPlainSeparator = '+';

// A byte that no file name may hold on one of the systems (NUL and '/' on
// Linux; control bytes and < > : " / \ | ? * on Windows, where ':' would
// name a stream of another file).
bool IsFileNameUnsafe(char c) {
  return static_cast<unsigned char>(c) < 0x20 ||
         std::string_view("<>:\"/\\|?*").find(c) != std::string_view::npos;
}

}  // namespace

std::string MakeServerLabel(std::string_view host) {
  std::string label;
  bool changed = false;
  for (const char c : host) {
    const bool keep = IsPlainByte(c) || c == '~';
    label.push_back(keep ? c : '_');
    changed |= !keep;
  }
  if (label.empty()) {
    label = "_";
    changed = true;
  }
  if (!changed && label.size() <= kMaxServerLabelBytes) return label;
  label.resize(std::min(label.size(), kMaxServerLabelBytes - kHashSuffixBytes));
  return label + "~" + Hex(Fnv1a(host), 8);
}

std::string DesktopJobId(std::string_view label, std::string_view worker_id) {
  const std::string safe = MakeServerLabel(label);
  std::string id = "@" + safe + kPlainSeparator;
  id.append(worker_id);
  if (IsWellFormedUtf8(worker_id) && worker_id.find('&') == std::string_view::npos &&
      !HasNoncharacter(worker_id) && FitsNotificationTag(id) &&
      std::find_if(worker_id.begin(), worker_id.end(), IsFileNameUnsafe) == worker_id.end())
    return id;
  return "@" + safe + "#" + Hex(Fnv1a(worker_id), 16);
}

std::optional<std::string> WorkerJobIdOf(std::string_view label, std::string_view desktop_id) {
  const std::string prefix = "@" + MakeServerLabel(label) + kPlainSeparator;
  if (desktop_id.substr(0, prefix.size()) != prefix) return std::nullopt;
  return std::string(desktop_id.substr(prefix.size()));
}

bool IsRemoteJobId(std::string_view id) {
  if (id.size() < 3 || id[0] != '@') return false;
  std::size_t i = 1;
  while (i < id.size() && (IsPlainByte(id[i]) || id[i] == '~')) ++i;
  if (i == 1 || i == id.size() || i - 1 > kMaxServerLabelBytes) return false;
  if (id[i] == kPlainSeparator) return true;
  if (id[i] != '#' || id.size() - i - 1 != 16) return false;
  for (const char c : id.substr(i + 1))
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

void HashedIdMemory::Remember(const std::string& desktop_id, std::string_view worker_id) {
  if (desktop_id.find('#') == std::string::npos || capacity_ == 0) return;
  auto [it, inserted] = ids_.try_emplace(desktop_id, worker_id);
  if (!inserted) {
    it->second = std::string(worker_id);
    return;
  }
  order_.push_back(desktop_id);
  if (order_.size() > capacity_) {
    ids_.erase(order_.front());
    order_.pop_front();
  }
}

std::optional<std::string> HashedIdMemory::Find(const std::string& desktop_id) const {
  const auto it = ids_.find(desktop_id);
  if (it == ids_.end()) return std::nullopt;
  return it->second;
}

std::string ResultCopyFileName(std::string_view label, std::string_view worker_id,
                               std::string_view server_name) {
  std::string name;
  for (const char c : server_name.substr(0, kMaxCopyNameBytes))
    name.push_back(IsPlainByte(c) ? c : '_');
  if (name.empty()) name = "resultado.txt";
  if (name[0] == '.') name[0] = '_';
  for (std::size_t i = 1; i < name.size(); ++i)
    if (name[i] == '.' && name[i - 1] == '.') name[i] = '_';
  if (name.back() == '.') name.back() = '_';
  return "remote-" + MakeServerLabel(label) + "-" + Hex(Fnv1a(worker_id), 16) + "-" + name;
}

}  // namespace activator::remote
