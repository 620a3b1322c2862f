#include "host/com_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "base/build_constants.h"
#include "platform/com.h"
#include "support/platform_guard.h"

namespace activator {
namespace {

constexpr IID kSomeOtherInterface = {0x00000003, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// Reads an object's count without changing it: one more reference, then back.
template <typename T>
ULONG CountOf(T* object) {
  object->AddRef();
  return object->Release();
}

TEST(ZorvellClassFactoryTest, AnswersIUnknownAndIClassFactoryWithItself) {
  auto* factory = new ZorvellClassFactory();
  for (const IID* iid : {&IID_IUnknown, &IID_IClassFactory}) {
    void* out = nullptr;
    EXPECT_EQ(factory->QueryInterface(*iid, &out), S_OK);
    EXPECT_EQ(out, static_cast<IUnknown*>(factory));
    EXPECT_EQ(CountOf(factory), 2u);
    EXPECT_EQ(static_cast<IUnknown*>(out)->Release(), 1u);
  }
  EXPECT_EQ(factory->Release(), 0u);
}

TEST(ZorvellClassFactoryTest, RefusedQueriesLeaveTheCountAlone) {
  auto* factory = new ZorvellClassFactory();
  void* out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(factory->QueryInterface(kSomeOtherInterface, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(factory->QueryInterface(IID_IClassFactory, nullptr), E_POINTER);
  EXPECT_EQ(CountOf(factory), 1u);
  EXPECT_EQ(factory->Release(), 0u);
}

TEST(ZorvellClassFactoryTest, LockServerAnswersOkAndChangesNothing) {
  auto* factory = new ZorvellClassFactory();
  EXPECT_EQ(factory->LockServer(1), S_OK);
  EXPECT_EQ(factory->LockServer(0), S_OK);
  EXPECT_EQ(factory->LockServer(0), S_OK);
  EXPECT_EQ(CountOf(factory), 1u);
  EXPECT_EQ(factory->Release(), 0u);
}

TEST(ZorvellClassFactoryTest, CreateInstanceHandsOutTheOnlyReference) {
  auto* factory = new ZorvellClassFactory();
  void* first = nullptr;
  void* second = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, &first), S_OK);
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, &second), S_OK);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  auto* a = static_cast<IUnknown*>(first);
  auto* b = static_cast<IUnknown*>(second);
  // Each has a count of its own.
  EXPECT_EQ(a->AddRef(), 2u);
  EXPECT_EQ(CountOf(b), 1u);
  EXPECT_EQ(a->Release(), 1u);
  // One Release by the caller frees each (LeakSanitizer checks the rest).
  EXPECT_EQ(a->Release(), 0u);
  EXPECT_EQ(b->Release(), 0u);
  // Making instances does not hold the factory.
  EXPECT_EQ(factory->Release(), 0u);
}

TEST(ZorvellClassFactoryTest, CreateInstanceRefusalsLeaveNoInstance) {
  auto* factory = new ZorvellClassFactory();
  void* out = reinterpret_cast<void*>(0x1);
  // The instance answers IUnknown only, so it is freed at once.
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
  // No aggregation.
  out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(factory->CreateInstance(factory, IID_IUnknown, &out), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(CountOf(factory), 1u);
  EXPECT_EQ(factory->Release(), 0u);
}

TEST(ZorvellActivatorClassTest, AnswersIUnknownOnly) {
  auto* factory = new ZorvellClassFactory();
  void* out = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, &out), S_OK);
  factory->Release();
  auto* instance = static_cast<IUnknown*>(out);

  void* again = nullptr;
  EXPECT_EQ(instance->QueryInterface(IID_IUnknown, &again), S_OK);
  EXPECT_EQ(again, instance);
  EXPECT_EQ(CountOf(instance), 2u);
  instance->Release();

  for (const IID* iid : {&IID_IClassFactory, &kSomeOtherInterface}) {
    void* refused = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(instance->QueryInterface(*iid, &refused), E_NOINTERFACE);
    EXPECT_EQ(refused, nullptr);
  }
  EXPECT_EQ(instance->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(CountOf(instance), 1u);
  EXPECT_EQ(instance->Release(), 0u);
}

// COM calls in on threads of its own; no count update may be lost.
TEST(ComServerConcurrencyTest, ConcurrentAddRefAndReleaseLoseNothing) {
  auto* factory = new ZorvellClassFactory();
  void* out = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, &out), S_OK);
  auto* instance = static_cast<IUnknown*>(out);

  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < kRounds; ++i) {
        factory->AddRef();
        instance->AddRef();
        void* through_query = nullptr;
        factory->QueryInterface(IID_IClassFactory, &through_query);
        static_cast<IUnknown*>(through_query)->Release();
        instance->Release();
        factory->Release();
      }
      // Leave one reference each, to see that the ups were all counted.
      factory->AddRef();
      instance->AddRef();
    });
  }
  go = true;
  for (auto& th : threads) th.join();
  EXPECT_EQ(CountOf(factory), 1u + kThreads);
  EXPECT_EQ(CountOf(instance), 1u + kThreads);

  // Releasing from every thread at once frees each object exactly once.
  std::vector<std::thread> releasers;
  std::atomic<int> reached_zero{0};
  for (int t = 0; t < kThreads; ++t) {
    releasers.emplace_back([&] {
      while (!go.load()) std::this_thread::yield();
      if (instance->Release() == 0) ++reached_zero;
      if (factory->Release() == 0) ++reached_zero;
    });
  }
  for (auto& th : releasers) th.join();
  EXPECT_EQ(reached_zero.load(), 0);
  EXPECT_EQ(instance->Release(), 0u);
  EXPECT_EQ(factory->Release(), 0u);
}

TEST(ComRegistrationTest, RegisteredClassObjectIsFoundByClassId) {
  std::optional<CLSID> clsid = ParseGuid(kActivatorClassId);
  ASSERT_TRUE(clsid);
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);

  auto* factory = new ZorvellClassFactory();
  DWORD cookie = 0;
  ASSERT_EQ(
      CoRegisterClassObject(*clsid, factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie),
      S_OK);
  EXPECT_NE(cookie, 0u);
  // COM holds its own reference: the creator's release does not free it.
  EXPECT_EQ(factory->Release(), 1u);

  void* found = nullptr;
  ASSERT_EQ(CoGetClassObject(*clsid, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory, &found),
            S_OK);
  EXPECT_EQ(found, static_cast<IClassFactory*>(factory));
  auto* class_object = static_cast<IClassFactory*>(found);
  void* instance = nullptr;
  ASSERT_EQ(class_object->CreateInstance(nullptr, IID_IUnknown, &instance), S_OK);
  EXPECT_EQ(static_cast<IUnknown*>(instance)->Release(), 0u);
  EXPECT_EQ(class_object->Release(), 1u);

  // A second registration for the same class fails and takes no reference.
  // (The POSIX stand-in's table; the system's COM, under wine at least,
  // accepts a second registration.)
  if (!testing::kWindowsPort) {
    auto* second = new ZorvellClassFactory();
    DWORD second_cookie = 0;
    EXPECT_LT(CoRegisterClassObject(*clsid, second, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                                    &second_cookie),
              0);
    EXPECT_EQ(second->Release(), 0u);
  }

  // Revoking drops COM's reference, which frees the class object.
  EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
  found = reinterpret_cast<void*>(0x1);
  const HRESULT after_revoke =
      CoGetClassObject(*clsid, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory, &found);
  EXPECT_TRUE(FAILED(after_revoke));
  // The system's COM goes on to look the class up in the registry.
  if (!testing::kWindowsPort) {
    EXPECT_EQ(after_revoke, CLASS_E_CLASSNOTAVAILABLE);
  }
  EXPECT_EQ(found, nullptr);
  CoUninitialize();
}

TEST(ComRegistrationTest, ClassIdParsesToItsFields) {
  std::optional<CLSID> clsid = ParseGuid("{8B9C4F9A-5A8D-4B9D-AE65-7A4D6C3F92B1}");
  ASSERT_TRUE(clsid);
  EXPECT_EQ(clsid->Data1, 0x8B9C4F9Au);
  EXPECT_EQ(clsid->Data2, 0x5A8D);
  EXPECT_EQ(clsid->Data3, 0x4B9D);
  const uint8_t tail[8] = {0xAE, 0x65, 0x7A, 0x4D, 0x6C, 0x3F, 0x92, 0xB1};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(clsid->Data4[i], tail[i]) << i;
  EXPECT_FALSE(ParseGuid("8B9C4F9A-5A8D-4B9D-AE65-7A4D6C3F92B1"));
  EXPECT_FALSE(ParseGuid("{8B9C4F9A-5A8D-4B9D-AE65-7A4D6C3F92BG}"));
  EXPECT_FALSE(ParseGuid("{8B9C4F9A+5A8D-4B9D-AE65-7A4D6C3F92B1}"));
}

}  // namespace
}  // namespace activator
