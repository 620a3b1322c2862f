// Stand-in for the runtime bootstrap library on POSIX, where the notification
// platform needs no runtime to be brought in. It keeps the entry point's
// contract: the runtime of major version 2 is "present", any other is not.
// Its shutdown leaves a mark where STANDIN_BOOTSTRAP_SHUTDOWN_MARK says, for
// the tests that the program calls it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int32_t kOk = 0;
// The bootstrap's "no matching runtime package" failure.
constexpr int32_t kNoMatchingRuntime = static_cast<int32_t>(0x80670016);

}  // namespace

extern "C" __attribute__((visibility("default"))) int32_t MddBootstrapInitialize2(
    uint32_t major_minor_version, const char16_t* /*version_tag*/, uint64_t /*min_version*/,
    uint32_t /*options*/) {
  return (major_minor_version >> 16) == 2 ? kOk : kNoMatchingRuntime;
}

extern "C" __attribute__((visibility("default"))) void MddBootstrapShutdown() {
  const char* mark = std::getenv("STANDIN_BOOTSTRAP_SHUTDOWN_MARK");
  if (mark == nullptr || *mark == '\0') return;
  if (std::FILE* file = std::fopen(mark, "w")) std::fclose(file);
}
