// Bootstrap libraries that are not what start-up expects: one whose entry
// point refuses every runtime (BOOTSTRAP_REFUSES), one without the entry
// point at all.
#include <cstdint>

#if defined(BOOTSTRAP_REFUSES)
extern "C" __attribute__((visibility("default"))) int32_t MddBootstrapInitialize2(uint32_t,
                                                                                  const char16_t*,
                                                                                  uint64_t,
                                                                                  uint32_t) {
  return static_cast<int32_t>(0x80670016);
}
#else
// Something exported, under another name.
extern "C" __attribute__((visibility("default"))) int32_t MddBootstrapInitialize(uint32_t,
                                                                                 const char16_t*,
                                                                                 uint64_t) {
  return 0;
}
#endif
