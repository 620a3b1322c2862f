// Action keys come back from whoever sends ActionInvoked on the bus: decoding
// must take any bytes, and what we encode must come back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

#include "platform/posix/dbus/notify_payload.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  (void)activator::dbus::DecodeActionKey(input);
  (void)activator::dbus::ImagePathFromAddress(input);

  // The input cut at NUL bytes into alternating keys and values.
  activator::dbus::Arguments arguments;
  std::map<std::string, std::string> expected;
  std::size_t start = 0;
  std::string key;
  bool want_value = false;
  for (std::size_t i = 0; i <= input.size(); ++i) {
    if (i < input.size() && input[i] != '\0') continue;
    std::string piece(input.substr(start, i - start));
    start = i + 1;
    if (want_value) {
      arguments.emplace_back(key, piece);
      expected[key] = piece;
    } else {
      key = piece;
    }
    want_value = !want_value;
  }
  auto decoded = activator::dbus::DecodeActionKey(activator::dbus::EncodeActionKey(arguments));
  if (!decoded || *decoded != expected) std::abort();
  return 0;
}
