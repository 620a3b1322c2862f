// The program's declaration of the bootstrap's entry point
// (platform/os/mdd_bootstrap_abi.h) held against the Windows App SDK's own
// MddBootstrap.h, from the package scripts/fetch-winappsdk fetches: a
// parameter, option value or layout that drifts fails the build. mingw-w64
// has no appmodel.h; sdk_shims/appmodel.h stands in for it.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <tuple>
#include <type_traits>

// clang-format off
#include "platform/os/windows_support.h"
#include <MddBootstrap.h>
#include "platform/os/mdd_bootstrap_abi.h"
// clang-format on

namespace activator {
namespace {

template <class Function>
struct Signature;
template <class Result, class... Parameters>
struct Signature<Result (*)(Parameters...)> {
  using ResultType = Result;
  using ParameterTypes = std::tuple<Parameters...>;
};
template <class Result, class... Parameters>
struct Signature<Result (*)(Parameters...) noexcept> : Signature<Result (*)(Parameters...)> {};

using Ours = Signature<abi::MddBootstrapInitialize2Function>;
using Theirs = Signature<decltype(&::MddBootstrapInitialize2)>;
template <std::size_t index>
using OurParameter = std::tuple_element_t<index, Ours::ParameterTypes>;
template <std::size_t index>
using TheirParameter = std::tuple_element_t<index, Theirs::ParameterTypes>;

static_assert(std::is_same_v<Ours::ResultType, Theirs::ResultType>);
static_assert(std::tuple_size_v<Ours::ParameterTypes> == std::tuple_size_v<Theirs::ParameterTypes>);
static_assert(std::is_same_v<OurParameter<0>, TheirParameter<0>>);  // majorMinorVersion
static_assert(std::is_same_v<OurParameter<1>, TheirParameter<1>>);  // versionTag
// minVersion: a type of our own, passed as the SDK's is (by value, the same
// size and alignment, nothing but the bytes).
static_assert(std::is_same_v<OurParameter<2>, abi::PackageVersion>);
static_assert(std::is_same_v<TheirParameter<2>, PACKAGE_VERSION>);
static_assert(sizeof(abi::PackageVersion) == sizeof(PACKAGE_VERSION));
static_assert(alignof(abi::PackageVersion) == alignof(PACKAGE_VERSION));
static_assert(std::is_trivially_copyable_v<abi::PackageVersion>);
// options: an enumeration of our own with the SDK's underlying type and the
// SDK's values for the flags the program names.
static_assert(std::is_same_v<OurParameter<3>, abi::MddBootstrapInitializeOptions>);
static_assert(std::is_same_v<TheirParameter<3>, ::MddBootstrapInitializeOptions>);
static_assert(std::is_same_v<std::underlying_type_t<abi::MddBootstrapInitializeOptions>,
                             std::underlying_type_t<::MddBootstrapInitializeOptions>>);
template <class Enumeration>
constexpr auto ValueOf(Enumeration value) {
  return static_cast<std::underlying_type_t<Enumeration>>(value);
}
static_assert(ValueOf(abi::kMddBootstrapInitializeOptionsNone) ==
              ValueOf(MddBootstrapInitializeOptions_None));
static_assert(ValueOf(abi::kMddBootstrapInitializeOptionsOnErrorFailFast) ==
              ValueOf(MddBootstrapInitializeOptions_OnError_FailFast));
static_assert(ValueOf(abi::kMddBootstrapInitializeOptionsOnNoMatchShowUi) ==
              ValueOf(MddBootstrapInitializeOptions_OnNoMatch_ShowUI));

// The parts of the version sit where the SDK's do (a union cannot be compared
// at compile time).
TEST(MddBootstrapHeaderTest, PackageVersionPartsMatchTheSdks) {
  PACKAGE_VERSION theirs{};
  theirs.Major = 2;
  theirs.Minor = 4;
  theirs.Build = 5;
  theirs.Revision = 6;
  abi::PackageVersion ours{};
  std::memcpy(&ours, &theirs, sizeof ours);
  EXPECT_EQ(ours.version, theirs.Version);
  EXPECT_EQ(ours.parts.major, 2);
  EXPECT_EQ(ours.parts.minor, 4);
  EXPECT_EQ(ours.parts.build, 5);
  EXPECT_EQ(ours.parts.revision, 6);
}

}  // namespace
}  // namespace activator
