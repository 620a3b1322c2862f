// The interface identifiers of platform/os/winappsdk_abi.h held against a
// second source: the stand-in runtime is built from the same declarations, so
// it cannot catch a wrong one.
//
// - Where mingw-w64's own headers declare an interface too (IAsyncInfo,
//   IAgileObject, IActivationFactory, IInspectable), its identifier is read
//   from the header's DEFINE_GUID line.
// - The instances of generic interfaces (IVector<AppNotification>,
//   IAsyncOperation<...>, the two delegates, the string map and its
//   iteration) are computed from their type signatures by the runtime's rule
//   (a name-based SHA-1 UUID), the rule itself first checked against the
//   generic instances mingw-w64's windows.foundation.h declares.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "platform/os/winappsdk_abi.h"

namespace activator {
namespace {

std::string Text(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

// The identifier `name` that mingw-w64's `header` defines, as text.
std::string FromMingwHeader(const std::string& header, const std::string& name) {
  std::ifstream in("Z:" MINGW_INCLUDE_DIR "/" + header);
  std::stringstream all;
  all << in.rdbuf();
  const std::regex define("DEFINE_GUID\\(" + name +
                          ",\\s*0x([0-9a-fA-F]+),\\s*0x([0-9a-fA-F]+),\\s*0x([0-9a-fA-F]+),"
                          "((?:\\s*0x[0-9a-fA-F]+,?){8})\\)");
  std::smatch m;
  const std::string text = all.str();
  if (!std::regex_search(text, m, define)) return "not in " + header;
  GUID g{};
  g.Data1 = static_cast<unsigned long>(std::stoul(m[1], nullptr, 16));
  g.Data2 = static_cast<unsigned short>(std::stoul(m[2], nullptr, 16));
  g.Data3 = static_cast<unsigned short>(std::stoul(m[3], nullptr, 16));
  std::stringstream bytes(m[4].str());
  std::string byte;
  for (int i = 0; i < 8 && std::getline(bytes, byte, ','); ++i) {
    g.Data4[i] = static_cast<unsigned char>(std::stoul(byte, nullptr, 16));
  }
  return Text(g);
}

// SHA-1, enough for short signatures.
std::array<uint8_t, 20> Sha1(const std::string& message) {
  uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  std::string data = message;
  const uint64_t bits = static_cast<uint64_t>(message.size()) * 8;
  data += static_cast<char>(0x80);
  while (data.size() % 64 != 56) data += '\0';
  for (int i = 7; i >= 0; --i) data += static_cast<char>((bits >> (i * 8)) & 0xFF);
  auto rotl = [](uint32_t x, int n) { return (x << n) | (x >> (32 - n)); };
  for (std::size_t block = 0; block < data.size(); block += 64) {
    uint32_t w[80];
    for (int i = 0; i < 16; ++i) {
      w[i] = 0;
      for (int j = 0; j < 4; ++j)
        w[i] = (w[i] << 8) | static_cast<uint8_t>(data[block + i * 4 + j]);
    }
    for (int i = 16; i < 80; ++i) w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (int i = 0; i < 80; ++i) {
      uint32_t f, k;
      if (i < 20) {
        f = (b & c) | (~b & d), k = 0x5A827999;
      } else if (i < 40) {
        f = b ^ c ^ d, k = 0x6ED9EBA1;
      } else if (i < 60) {
        f = (b & c) | (b & d) | (c & d), k = 0x8F1BBCDC;
      } else {
        f = b ^ c ^ d, k = 0xCA62C1D6;
      }
      const uint32_t t = rotl(a, 5) + f + e + k + w[i];
      e = d, d = c, c = rotl(b, 30), b = a, a = t;
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e;
  }
  std::array<uint8_t, 20> out{};
  for (int i = 0; i < 20; ++i) out[i] = static_cast<uint8_t>(h[i / 4] >> (24 - (i % 4) * 8));
  return out;
}

// The identifier of a generic instance: a version 5 UUID over the runtime's
// namespace and the type signature.
std::string FromSignature(const std::string& signature) {
  static const uint8_t kNamespace[16] = {0x11, 0xf4, 0x7a, 0xd5, 0x7b, 0x73, 0x42, 0xc0,
                                         0xab, 0xae, 0x87, 0x8b, 0x1e, 0x16, 0xad, 0xee};
  const auto hash = Sha1(std::string(reinterpret_cast<const char*>(kNamespace), 16) + signature);
  GUID g{};
  g.Data1 =
      (static_cast<unsigned long>(hash[0]) << 24) | (hash[1] << 16) | (hash[2] << 8) | hash[3];
  g.Data2 = static_cast<unsigned short>((hash[4] << 8) | hash[5]);
  g.Data3 = static_cast<unsigned short>((((hash[6] << 8) | hash[7]) & 0x0FFF) | 0x5000);
  for (int i = 0; i < 8; ++i) g.Data4[i] = hash[8 + i];
  g.Data4[0] = static_cast<unsigned char>((g.Data4[0] & 0x3F) | 0x80);
  return Text(g);
}

std::string Generic(const std::string& open_iid, const std::string& arguments) {
  return "pinterface({" + open_iid + "};" + arguments + ")";
}

// Open generic interfaces of Windows.Foundation(.Collections).
const std::string kIVector = "913337e9-11a1-4345-a3a2-4e7f956e222d";
const std::string kIVectorView = "bbe1fa4c-b0e3-4583-baef-1f1b2e483e56";
const std::string kIIterable = "faa585ea-6214-4217-afda-7f46de5869b3";
const std::string kIIterator = "6a79e863-4300-459a-9966-cbb660963ee1";
const std::string kIMap = "3c2925fe-8519-45c1-aa79-197b6718c1c1";
const std::string kIMapView = "e480ce40-a338-4ada-adcf-272272e48cb9";
const std::string kIKeyValuePair = "02b51929-c1c4-4a7e-8940-0312b5c18500";
const std::string kIAsyncOperation = "9fc2b0bb-e446-44e2-aa61-9cab8f636af2";
const std::string kCompletedHandler = "fcdcf02c-e5d8-4478-915a-4d90b74b83a5";
const std::string kTypedEventHandler = "9de1c534-6ae1-11e0-84e1-18a905bcc53f";

std::string RuntimeClass(const std::string& name, const GUID& default_interface) {
  return "rc(Microsoft.Windows.AppNotifications." + name + ";{" + Text(default_interface) + "})";
}

TEST(AbiIdentityTest, InterfacesMingwDeclaresToo) {
  EXPECT_EQ(Text(abi::IAsyncInfo::kIid), FromMingwHeader("asyncinfo.h", "IID_IAsyncInfo"));
  EXPECT_EQ(Text(abi::kIidAgileObject), FromMingwHeader("objidl.h", "IID_IAgileObject"));
  EXPECT_EQ(Text(abi::IActivationFactory::kIid),
            FromMingwHeader("activation.h", "IID_IActivationFactory"));
  EXPECT_EQ(Text(abi::kIidInspectable), FromMingwHeader("inspectable.h", "IID_IInspectable"));
}

TEST(AbiIdentityTest, GenericInstancesFollowFromTheirSignatures) {
  // The rule, against the instances mingw-w64 declares.
  EXPECT_EQ(FromSignature(Generic(kIAsyncOperation, "b1")),
            FromMingwHeader("windows.foundation.h", "IID___FIAsyncOperation_1_boolean"));
  EXPECT_EQ(
      FromSignature(Generic(kCompletedHandler, "b1")),
      FromMingwHeader("windows.foundation.h", "IID___FIAsyncOperationCompletedHandler_1_boolean"));
  // (Its IVectorView<HSTRING>, fca5679c-..., is not what the rule gives,
  // 2f13c006-a03a-5f69-b090-75a43e33423e, the identifier the SDK publishes;
  // so that one is not a witness.)

  // The instances the program uses.
  const std::string notification = RuntimeClass("AppNotification", abi::IAppNotification::kIid);
  const std::string vector = Generic(kIVector, notification);
  const std::string pair = Generic(kIKeyValuePair, "string;string");
  EXPECT_EQ(Text(abi::IVectorAppNotification::kIid), FromSignature(vector));
  EXPECT_EQ(Text(abi::IVectorViewAppNotification::kIid),
            FromSignature(Generic(kIVectorView, notification)));
  EXPECT_EQ(Text(abi::IAsyncOperationVectorAppNotification::kIid),
            FromSignature(Generic(kIAsyncOperation, vector)));
  EXPECT_EQ(Text(abi::IAsyncOperationCompletedHandlerVectorAppNotification::kIid),
            FromSignature(Generic(kCompletedHandler, vector)));
  EXPECT_EQ(Text(abi::INotificationInvokedHandler::kIid),
            FromSignature(Generic(
                kTypedEventHandler,
                RuntimeClass("AppNotificationManager", abi::IAppNotificationManager::kIid) + ";" +
                    RuntimeClass("AppNotificationActivatedEventArgs",
                                 abi::IAppNotificationActivatedEventArgs::kIid))));
  EXPECT_EQ(Text(abi::IMapStringString::kIid), FromSignature(Generic(kIMap, "string;string")));
  EXPECT_EQ(Text(abi::IMapViewStringString::kIid),
            FromSignature(Generic(kIMapView, "string;string")));
  EXPECT_EQ(Text(abi::IKeyValuePairStringString::kIid), FromSignature(pair));
  EXPECT_EQ(Text(abi::IIterableKeyValuePairStringString::kIid),
            FromSignature(Generic(kIIterable, pair)));
  EXPECT_EQ(Text(abi::IIteratorKeyValuePairStringString::kIid),
            FromSignature(Generic(kIIterator, pair)));
}

}  // namespace
}  // namespace activator
