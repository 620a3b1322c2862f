// The Windows App SDK app-notification interfaces and the Windows Runtime
// interfaces they use, as the program calls them through the WinRT ABI. The
// SDK's own headers are not used (they are not part of a mingw-w64 cross
// build), so these are declared here, one interface after the other, with
// the interface identifier and the methods in vtable slot order as the
// published metadata gives them; a reader can hold each against the SDK's
// metadata line by line, and scripts/test-windows does
// (tests/windows/abi_metadata, whose table names the generic instance each
// struct here stands for). Slots 0 to 5 are IUnknown and IInspectable; the
// delegates derive from IUnknown alone, so their Invoke is slot 3.
//
// Only plain C++ and the SDK's common headers: an MSVC build would read the
// same declarations. Interfaces that the program passes through but never
// calls are declared only by name.
#pragma once

// clang-format off
#include "platform/os/windows_support.h"
#include <inspectable.h>
#include <winstring.h>
// clang-format on

#include <cstdint>

namespace activator::abi {

// Runtime class names.
inline constexpr wchar_t kAppNotificationManagerClass[] =
    L"Microsoft.Windows.AppNotifications.AppNotificationManager";
inline constexpr wchar_t kAppNotificationBuilderClass[] =
    L"Microsoft.Windows.AppNotifications.Builder.AppNotificationBuilder";
inline constexpr wchar_t kAppNotificationButtonClass[] =
    L"Microsoft.Windows.AppNotifications.Builder.AppNotificationButton";
inline constexpr wchar_t kAppNotificationProgressBarClass[] =
    L"Microsoft.Windows.AppNotifications.Builder.AppNotificationProgressBar";
inline constexpr wchar_t kAppNotificationProgressDataClass[] =
    L"Microsoft.Windows.AppNotifications.AppNotificationProgressData";
inline constexpr wchar_t kUriClass[] = L"Windows.Foundation.Uri";
inline constexpr wchar_t kAppInstanceClass[] = L"Microsoft.Windows.AppLifecycle.AppInstance";

// The ABI's value types.
using Boolean = unsigned char;  // one byte
struct DateTime {
  int64_t universal_time;  // 100 ns ticks since 1601-01-01 UTC
};
struct EventRegistrationToken {
  int64_t value;
};
enum class AsyncStatus : int32_t { kStarted = 0, kCompleted = 1, kCanceled = 2, kError = 3 };
// The SDK's enumerations, each a 32-bit integer in the ABI.
using AppNotificationSetting = int32_t;
using AppNotificationPriority = int32_t;
using AppNotificationProgressResult = int32_t;
inline constexpr AppNotificationProgressResult kProgressSucceeded = 0;
inline constexpr AppNotificationProgressResult kProgressAppNotificationNotFound = 1;
inline constexpr AppNotificationProgressResult kProgressUnsupported = 2;  // run elevated
using AppNotificationDuration = int32_t;
using AppNotificationScenario = int32_t;
using AppNotificationImageCrop = int32_t;
using AppNotificationAudioLooping = int32_t;
using AppNotificationSoundEvent = int32_t;
using AppNotificationButtonStyle = int32_t;
// Microsoft.Windows.AppLifecycle.ExtendedActivationKind, of which the program
// tells one value from the others.
using ExtendedActivationKind = int32_t;
inline constexpr ExtendedActivationKind kActivationKindAppNotification = 5001;

// IInspectable, the base of every runtime interface (the SDK's import
// libraries do not all carry its identifier).
inline constexpr GUID kIidInspectable = {
    0xaf86e2e0, 0xb12d, 0x4c6a, {0x9c, 0x5a, 0xd7, 0xaa, 0x65, 0x10, 0x1e, 0x90}};
// Marker interface of objects that may be called from any thread.
inline constexpr GUID kIidAgileObject = {
    0x94ea2b94, 0xe9cc, 0x49e0, {0xc0, 0xff, 0xee, 0x64, 0xca, 0x8f, 0x5b, 0x90}};

// Passed through, never called.
struct IAppNotificationTextProperties;
struct IAppNotificationComboBox;
struct IAsyncActionCompletedHandler;

struct IAppNotificationProgressData;
struct IAppNotificationProgressBar;
struct IAsyncOperationProgressResult;

struct IAppNotification;
struct IAppNotificationManager;
struct IAppNotificationActivatedEventArgs;
struct IAppNotificationButton;
struct IMapViewStringString;
struct IVectorViewAppNotification;
struct IEventHandlerAppActivationArguments;  // EventHandler<AppActivationArguments>
struct IVectorAppInstance;                   // IVector<AppInstance>

// ---- Windows.Foundation -------------------------------------------------

// Windows.Foundation.Uri's default interface. Declared up to the one method
// used (the stand-in runtime of the tests reads the address back).
struct IUriRuntimeClass : IInspectable {
  static constexpr GUID kIid = {
      0x9e365e57, 0x48b2, 0x4160, {0x95, 0x6f, 0xc7, 0x38, 0x51, 0x20, 0xbb, 0xfc}};
  virtual HRESULT STDMETHODCALLTYPE get_AbsoluteUri(HSTRING* value) = 0;  // 6
};

struct IUriRuntimeClassFactory : IInspectable {
  static constexpr GUID kIid = {
      0x44a9796f, 0x723e, 0x4fdf, {0xa2, 0x18, 0x03, 0x3e, 0x75, 0xb0, 0xc0, 0x84}};
  virtual HRESULT STDMETHODCALLTYPE CreateUri(HSTRING uri, IUriRuntimeClass** instance) = 0;  // 6
  virtual HRESULT STDMETHODCALLTYPE CreateWithRelativeUri(HSTRING base_uri, HSTRING relative_uri,
                                                          IUriRuntimeClass** instance) = 0;  // 7
};

// The generic activation factory of default-activatable classes.
struct IActivationFactory : IInspectable {
  static constexpr GUID kIid = {
      0x00000035, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
  virtual HRESULT STDMETHODCALLTYPE ActivateInstance(IInspectable** instance) = 0;  // 6
};

struct IAsyncInfo : IInspectable {
  static constexpr GUID kIid = {
      0x00000036, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
  virtual HRESULT STDMETHODCALLTYPE get_Id(UINT32* id) = 0;               // 6
  virtual HRESULT STDMETHODCALLTYPE get_Status(AsyncStatus* status) = 0;  // 7
  virtual HRESULT STDMETHODCALLTYPE get_ErrorCode(HRESULT* error) = 0;    // 8
  virtual HRESULT STDMETHODCALLTYPE Cancel() = 0;                         // 9
  virtual HRESULT STDMETHODCALLTYPE Close() = 0;                          // 10
};

struct IAsyncAction : IInspectable {
  static constexpr GUID kIid = {
      0x5a648006, 0x843a, 0x4da9, {0x86, 0x5b, 0x9d, 0x26, 0xe5, 0xdf, 0xad, 0x7b}};
  virtual HRESULT STDMETHODCALLTYPE put_Completed(IAsyncActionCompletedHandler* handler) = 0;   // 6
  virtual HRESULT STDMETHODCALLTYPE get_Completed(IAsyncActionCompletedHandler** handler) = 0;  // 7
  virtual HRESULT STDMETHODCALLTYPE GetResults() = 0;                                           // 8
};

// AsyncOperationCompletedHandler<AppNotificationProgressResult>: a delegate.
struct IAsyncOperationCompletedHandlerProgressResult : IUnknown {
  static constexpr GUID kIid = {
      0x566f5620, 0xc1d5, 0x526f, {0xa8, 0x98, 0xba, 0x7d, 0x0d, 0xa3, 0xa5, 0x6d}};
  virtual HRESULT STDMETHODCALLTYPE Invoke(IAsyncOperationProgressResult* operation,
                                           AsyncStatus status) = 0;  // 3
};

struct IAsyncOperationProgressResult
    : IInspectable {  // IAsyncOperation<AppNotificationProgressResult>
  static constexpr GUID kIid = {
      0xaa739d3f, 0xd458, 0x5d30, {0xb2, 0x92, 0xde, 0x6d, 0x52, 0x97, 0x9e, 0xb4}};
  virtual HRESULT STDMETHODCALLTYPE
  put_Completed(IAsyncOperationCompletedHandlerProgressResult* handler) = 0;  // 6
  virtual HRESULT STDMETHODCALLTYPE
  get_Completed(IAsyncOperationCompletedHandlerProgressResult** handler) = 0;               // 7
  virtual HRESULT STDMETHODCALLTYPE GetResults(AppNotificationProgressResult* result) = 0;  // 8
};

// ---- Windows.Foundation.Collections, instantiated -------------------------

struct IKeyValuePairStringString : IInspectable {  // IKeyValuePair<String, String>
  static constexpr GUID kIid = {
      0x60310303, 0x49c5, 0x52e6, {0xab, 0xc6, 0xa9, 0xb3, 0x6e, 0xcc, 0xc7, 0x16}};
  virtual HRESULT STDMETHODCALLTYPE get_Key(HSTRING* key) = 0;      // 6
  virtual HRESULT STDMETHODCALLTYPE get_Value(HSTRING* value) = 0;  // 7
};

struct IIteratorKeyValuePairStringString
    : IInspectable {  // IIterator<IKeyValuePair<String, String>>
  static constexpr GUID kIid = {
      0x05eb86f1, 0x7140, 0x5517, {0xb8, 0x8d, 0xcb, 0xae, 0xbe, 0x57, 0xe6, 0xb1}};
  virtual HRESULT STDMETHODCALLTYPE get_Current(IKeyValuePairStringString** current) = 0;  // 6
  virtual HRESULT STDMETHODCALLTYPE get_HasCurrent(Boolean* has_current) = 0;              // 7
  virtual HRESULT STDMETHODCALLTYPE MoveNext(Boolean* has_current) = 0;                    // 8
  virtual HRESULT STDMETHODCALLTYPE GetMany(UINT32 capacity, IKeyValuePairStringString** items,
                                            UINT32* actual) = 0;  // 9
};

struct IIterableKeyValuePairStringString
    : IInspectable {  // IIterable<IKeyValuePair<String, String>>
  static constexpr GUID kIid = {
      0xe9bdaaf0, 0xcbf6, 0x5c72, {0xbe, 0x90, 0x29, 0xcb, 0xf3, 0xa1, 0x31, 0x9b}};
  virtual HRESULT STDMETHODCALLTYPE First(IIteratorKeyValuePairStringString** first) = 0;  // 6
};

struct IMapStringString : IInspectable {  // IMap<String, String>
  static constexpr GUID kIid = {
      0xf6d1f700, 0x49c2, 0x52ae, {0x81, 0x54, 0x82, 0x6f, 0x99, 0x08, 0x77, 0x3c}};
  virtual HRESULT STDMETHODCALLTYPE Lookup(HSTRING key, HSTRING* value) = 0;   // 6
  virtual HRESULT STDMETHODCALLTYPE get_Size(UINT32* size) = 0;                // 7
  virtual HRESULT STDMETHODCALLTYPE HasKey(HSTRING key, Boolean* found) = 0;   // 8
  virtual HRESULT STDMETHODCALLTYPE GetView(IMapViewStringString** view) = 0;  // 9
  virtual HRESULT STDMETHODCALLTYPE Insert(HSTRING key, HSTRING value,
                                           Boolean* replaced) = 0;  // 10
  virtual HRESULT STDMETHODCALLTYPE Remove(HSTRING key) = 0;        // 11
  virtual HRESULT STDMETHODCALLTYPE Clear() = 0;                    // 12
};

struct IMapViewStringString : IInspectable {  // IMapView<String, String>
  static constexpr GUID kIid = {
      0xac7f26f2, 0xfeb7, 0x5b2a, {0x8a, 0xc4, 0x34, 0x5b, 0xc6, 0x2c, 0xae, 0xde}};
  virtual HRESULT STDMETHODCALLTYPE Lookup(HSTRING key, HSTRING* value) = 0;  // 6
  virtual HRESULT STDMETHODCALLTYPE get_Size(UINT32* size) = 0;               // 7
  virtual HRESULT STDMETHODCALLTYPE HasKey(HSTRING key, Boolean* found) = 0;  // 8
  virtual HRESULT STDMETHODCALLTYPE Split(IMapViewStringString** first,
                                          IMapViewStringString** second) = 0;  // 9
};

struct IVectorAppNotification : IInspectable {  // IVector<AppNotification>
  static constexpr GUID kIid = {
      0xde618ddb, 0xbebc, 0x5c93, {0x91, 0xfe, 0xeb, 0xd8, 0x90, 0xdf, 0x7c, 0xb7}};
  virtual HRESULT STDMETHODCALLTYPE GetAt(UINT32 index, IAppNotification** item) = 0;  // 6
  virtual HRESULT STDMETHODCALLTYPE get_Size(UINT32* size) = 0;                        // 7
  virtual HRESULT STDMETHODCALLTYPE GetView(IVectorViewAppNotification** view) = 0;    // 8
  virtual HRESULT STDMETHODCALLTYPE IndexOf(IAppNotification* item, UINT32* index,
                                            Boolean* found) = 0;                         // 9
  virtual HRESULT STDMETHODCALLTYPE SetAt(UINT32 index, IAppNotification* item) = 0;     // 10
  virtual HRESULT STDMETHODCALLTYPE InsertAt(UINT32 index, IAppNotification* item) = 0;  // 11
  virtual HRESULT STDMETHODCALLTYPE RemoveAt(UINT32 index) = 0;                          // 12
  virtual HRESULT STDMETHODCALLTYPE Append(IAppNotification* item) = 0;                  // 13
  virtual HRESULT STDMETHODCALLTYPE RemoveAtEnd() = 0;                                   // 14
  virtual HRESULT STDMETHODCALLTYPE Clear() = 0;                                         // 15
  virtual HRESULT STDMETHODCALLTYPE GetMany(UINT32 start, UINT32 capacity, IAppNotification** items,
                                            UINT32* actual) = 0;                             // 16
  virtual HRESULT STDMETHODCALLTYPE ReplaceAll(UINT32 count, IAppNotification** items) = 0;  // 17
};

struct IVectorViewAppNotification : IInspectable {  // IVectorView<AppNotification>
  static constexpr GUID kIid = {
      0xe645c6bd, 0xe8e3, 0x5b12, {0x8b, 0x95, 0x96, 0x3b, 0xac, 0x29, 0xf9, 0x74}};
  virtual HRESULT STDMETHODCALLTYPE GetAt(UINT32 index, IAppNotification** item) = 0;  // 6
  virtual HRESULT STDMETHODCALLTYPE get_Size(UINT32* size) = 0;                        // 7
  virtual HRESULT STDMETHODCALLTYPE IndexOf(IAppNotification* item, UINT32* index,
                                            Boolean* found) = 0;  // 8
  virtual HRESULT STDMETHODCALLTYPE GetMany(UINT32 start, UINT32 capacity, IAppNotification** items,
                                            UINT32* actual) = 0;  // 9
};

struct IAsyncOperationVectorAppNotification;

// AsyncOperationCompletedHandler<IVector<AppNotification>>: a delegate.
struct IAsyncOperationCompletedHandlerVectorAppNotification : IUnknown {
  static constexpr GUID kIid = {
      0xfc00bf73, 0xae70, 0x537b, {0xa7, 0x02, 0xa8, 0x5a, 0x20, 0xbb, 0xd7, 0x14}};
  virtual HRESULT STDMETHODCALLTYPE Invoke(IAsyncOperationVectorAppNotification* operation,
                                           AsyncStatus status) = 0;  // 3
};

struct IAsyncOperationVectorAppNotification
    : IInspectable {  // IAsyncOperation<IVector<AppNotification>>
  static constexpr GUID kIid = {
      0x704700c2, 0xf4a1, 0x5edd, {0x87, 0x1a, 0xd0, 0xba, 0x8b, 0x9b, 0x4c, 0x59}};
  virtual HRESULT STDMETHODCALLTYPE
  put_Completed(IAsyncOperationCompletedHandlerVectorAppNotification* handler) = 0;  // 6
  virtual HRESULT STDMETHODCALLTYPE
  get_Completed(IAsyncOperationCompletedHandlerVectorAppNotification** handler) = 0;   // 7
  virtual HRESULT STDMETHODCALLTYPE GetResults(IVectorAppNotification** results) = 0;  // 8
};

// ---- Microsoft.Windows.AppNotifications -----------------------------------

struct IAppNotification : IInspectable {
  static constexpr GUID kIid = {
      0x373a6917, 0x4116, 0x5657, {0x93, 0x6a, 0x15, 0xf9, 0x9a, 0xfd, 0xd6, 0x67}};
  virtual HRESULT STDMETHODCALLTYPE get_Tag(HSTRING* value) = 0;                             // 6
  virtual HRESULT STDMETHODCALLTYPE put_Tag(HSTRING value) = 0;                              // 7
  virtual HRESULT STDMETHODCALLTYPE get_Group(HSTRING* value) = 0;                           // 8
  virtual HRESULT STDMETHODCALLTYPE put_Group(HSTRING value) = 0;                            // 9
  virtual HRESULT STDMETHODCALLTYPE get_Id(UINT32* value) = 0;                               // 10
  virtual HRESULT STDMETHODCALLTYPE get_Payload(HSTRING* value) = 0;                         // 11
  virtual HRESULT STDMETHODCALLTYPE get_Progress(IAppNotificationProgressData** value) = 0;  // 12
  virtual HRESULT STDMETHODCALLTYPE put_Progress(IAppNotificationProgressData* value) = 0;   // 13
  virtual HRESULT STDMETHODCALLTYPE get_Expiration(DateTime* value) = 0;                     // 14
  virtual HRESULT STDMETHODCALLTYPE put_Expiration(DateTime value) = 0;                      // 15
  virtual HRESULT STDMETHODCALLTYPE get_ExpiresOnReboot(Boolean* value) = 0;                 // 16
  virtual HRESULT STDMETHODCALLTYPE put_ExpiresOnReboot(Boolean value) = 0;                  // 17
  virtual HRESULT STDMETHODCALLTYPE get_Priority(AppNotificationPriority* value) = 0;        // 18
  virtual HRESULT STDMETHODCALLTYPE put_Priority(AppNotificationPriority value) = 0;         // 19
  virtual HRESULT STDMETHODCALLTYPE get_SuppressDisplay(Boolean* value) = 0;                 // 20
  virtual HRESULT STDMETHODCALLTYPE put_SuppressDisplay(Boolean value) = 0;                  // 21
};

// What a notification's progress bar is bound to.
struct IAppNotificationProgressData : IInspectable {
  static constexpr GUID kIid = {
      0x4debfac0, 0x809d, 0x55cb, {0xb8, 0x79, 0x92, 0x48, 0x21, 0x87, 0x6b, 0x97}};
  virtual HRESULT STDMETHODCALLTYPE get_SequenceNumber(UINT32* value) = 0;        // 6
  virtual HRESULT STDMETHODCALLTYPE put_SequenceNumber(UINT32 value) = 0;         // 7
  virtual HRESULT STDMETHODCALLTYPE get_Title(HSTRING* value) = 0;                // 8
  virtual HRESULT STDMETHODCALLTYPE put_Title(HSTRING value) = 0;                 // 9
  virtual HRESULT STDMETHODCALLTYPE get_Value(DOUBLE* value) = 0;                 // 10
  virtual HRESULT STDMETHODCALLTYPE put_Value(DOUBLE value) = 0;                  // 11
  virtual HRESULT STDMETHODCALLTYPE get_ValueStringOverride(HSTRING* value) = 0;  // 12
  virtual HRESULT STDMETHODCALLTYPE put_ValueStringOverride(HSTRING value) = 0;   // 13
  virtual HRESULT STDMETHODCALLTYPE get_Status(HSTRING* value) = 0;               // 14
  virtual HRESULT STDMETHODCALLTYPE put_Status(HSTRING value) = 0;                // 15
};

// The SDK refuses a sequence number of 0 (E_INVALIDARG).
struct IAppNotificationProgressDataFactory : IInspectable {
  static constexpr GUID kIid = {
      0xc08e4a0f, 0x3a75, 0x55d6, {0x8c, 0x3e, 0x14, 0xf0, 0x3a, 0xe4, 0x60, 0x46}};
  virtual HRESULT STDMETHODCALLTYPE
  CreateInstance(UINT32 sequence_number, IAppNotificationProgressData** instance) = 0;  // 6
};

struct IAppNotificationActivatedEventArgs : IInspectable {
  static constexpr GUID kIid = {
      0x7a8afaf9, 0x31cb, 0x51d5, {0x82, 0xbe, 0xdb, 0x6b, 0xd5, 0x87, 0x8b, 0x77}};
  virtual HRESULT STDMETHODCALLTYPE get_Argument(HSTRING* value) = 0;             // 6
  virtual HRESULT STDMETHODCALLTYPE get_UserInput(IMapStringString** value) = 0;  // 7
};

// The clicked button's arguments, as a map.
struct IAppNotificationActivatedEventArgs2 : IInspectable {
  static constexpr GUID kIid = {
      0x52c06b9b, 0x2c50, 0x5037, {0x94, 0x16, 0xa3, 0xbe, 0x47, 0xb9, 0xd5, 0xbd}};
  virtual HRESULT STDMETHODCALLTYPE get_Arguments(IMapStringString** value) = 0;  // 6
};

// TypedEventHandler<AppNotificationManager, AppNotificationActivatedEventArgs>:
// a delegate.
struct INotificationInvokedHandler : IUnknown {
  static constexpr GUID kIid = {
      0x9909b0b0, 0xef99, 0x5bce, {0x97, 0xc8, 0x78, 0x19, 0x0d, 0x41, 0x1b, 0x61}};
  virtual HRESULT STDMETHODCALLTYPE Invoke(IAppNotificationManager* sender,
                                           IAppNotificationActivatedEventArgs* args) = 0;  // 3
};

struct IAppNotificationManager : IInspectable {
  static constexpr GUID kIid = {
      0x55129688, 0xb4bd, 0x550b, {0xae, 0x6b, 0xc2, 0x40, 0x61, 0x95, 0x4d, 0x91}};
  virtual HRESULT STDMETHODCALLTYPE Register() = 0;       // 6
  virtual HRESULT STDMETHODCALLTYPE Unregister() = 0;     // 7
  virtual HRESULT STDMETHODCALLTYPE UnregisterAll() = 0;  // 8
  virtual HRESULT STDMETHODCALLTYPE
  add_NotificationInvoked(INotificationInvokedHandler* handler,
                          EventRegistrationToken* token) = 0;  // 9
  virtual HRESULT STDMETHODCALLTYPE
  remove_NotificationInvoked(EventRegistrationToken token) = 0;                // 10
  virtual HRESULT STDMETHODCALLTYPE Show(IAppNotification* notification) = 0;  // 11
  virtual HRESULT STDMETHODCALLTYPE
  UpdateAsync(IAppNotificationProgressData* data, HSTRING tag, HSTRING group,
              IAsyncOperationProgressResult** operation) = 0;  // 12
  virtual HRESULT STDMETHODCALLTYPE
  UpdateAsync2(IAppNotificationProgressData* data, HSTRING tag,
               IAsyncOperationProgressResult** operation) = 0;                                 // 13
  virtual HRESULT STDMETHODCALLTYPE get_Setting(AppNotificationSetting* value) = 0;            // 14
  virtual HRESULT STDMETHODCALLTYPE RemoveByIdAsync(UINT32 id, IAsyncAction** operation) = 0;  // 15
  virtual HRESULT STDMETHODCALLTYPE RemoveByTagAsync(HSTRING tag,
                                                     IAsyncAction** operation) = 0;  // 16
  virtual HRESULT STDMETHODCALLTYPE RemoveByTagAndGroupAsync(HSTRING tag, HSTRING group,
                                                             IAsyncAction** operation) = 0;  // 17
  virtual HRESULT STDMETHODCALLTYPE RemoveByGroupAsync(HSTRING group,
                                                       IAsyncAction** operation) = 0;  // 18
  virtual HRESULT STDMETHODCALLTYPE RemoveAllAsync(IAsyncAction** operation) = 0;      // 19
  virtual HRESULT STDMETHODCALLTYPE
  GetAllAsync(IAsyncOperationVectorAppNotification** operation) = 0;  // 20
};

struct IAppNotificationManagerStatics : IInspectable {
  static constexpr GUID kIid = {
      0x6cfc0d8d, 0x84a3, 0x5592, {0xb4, 0xc6, 0xe3, 0xe7, 0xe7, 0xc6, 0x80, 0xe4}};
  virtual HRESULT STDMETHODCALLTYPE get_Default(IAppNotificationManager** value) = 0;  // 6
};

// The manager's second statics (AppNotificationsContract 2).
struct IAppNotificationManagerStatics2 : IInspectable {
  static constexpr GUID kIid = {
      0x6eb42a35, 0xe82f, 0x5732, {0x98, 0xf1, 0x12, 0x97, 0x05, 0x60, 0x2f, 0x2e}};
  virtual HRESULT STDMETHODCALLTYPE IsSupported(Boolean* result) = 0;  // 6
};

// ---- Microsoft.Windows.AppLifecycle ----------------------------------------

struct IAppActivationArguments : IInspectable {
  static constexpr GUID kIid = {
      0x14f99eaf, 0x1580, 0x5062, {0xbd, 0xc8, 0xd5, 0xd1, 0xc3, 0x11, 0x38, 0xfb}};
  virtual HRESULT STDMETHODCALLTYPE get_Kind(ExtendedActivationKind* value) = 0;  // 6
  virtual HRESULT STDMETHODCALLTYPE get_Data(IInspectable** value) = 0;           // 7
};

struct IAppInstance : IInspectable {
  static constexpr GUID kIid = {
      0x75766ae4, 0x0239, 0x5a26, {0xb9, 0xda, 0xd5, 0xbf, 0xc7, 0x5a, 0x48, 0x66}};
  virtual HRESULT STDMETHODCALLTYPE UnregisterKey() = 0;  // 6
  virtual HRESULT STDMETHODCALLTYPE RedirectActivationToAsync(IAppActivationArguments* args,
                                                              IAsyncAction** operation) = 0;  // 7
  virtual HRESULT STDMETHODCALLTYPE
  GetActivatedEventArgs(IAppActivationArguments** result) = 0;  // 8
  virtual HRESULT STDMETHODCALLTYPE add_Activated(IEventHandlerAppActivationArguments* handler,
                                                  EventRegistrationToken* token) = 0;    // 9
  virtual HRESULT STDMETHODCALLTYPE remove_Activated(EventRegistrationToken token) = 0;  // 10
  virtual HRESULT STDMETHODCALLTYPE get_Key(HSTRING* value) = 0;                         // 11
  virtual HRESULT STDMETHODCALLTYPE get_IsCurrent(Boolean* value) = 0;                   // 12
  virtual HRESULT STDMETHODCALLTYPE get_ProcessId(UINT32* value) = 0;                    // 13
};

struct IAppInstanceStatics : IInspectable {
  static constexpr GUID kIid = {
      0x4f414b25, 0x8330, 0x5a9b, {0xbb, 0xc1, 0x82, 0x29, 0xd4, 0x79, 0x64, 0x9d}};
  virtual HRESULT STDMETHODCALLTYPE GetCurrent(IAppInstance** result) = 0;          // 6
  virtual HRESULT STDMETHODCALLTYPE GetInstances(IVectorAppInstance** result) = 0;  // 7
  virtual HRESULT STDMETHODCALLTYPE FindOrRegisterForKey(HSTRING key,
                                                         IAppInstance** result) = 0;  // 8
};

// ---- Microsoft.Windows.AppNotifications.Builder ---------------------------

struct IAppNotificationButton : IInspectable {
  static constexpr GUID kIid = {
      0xa7c03031, 0x5634, 0x5098, {0xae, 0xc9, 0x47, 0xec, 0xb6, 0x0c, 0x34, 0x99}};
  using Self = IAppNotificationButton;
  virtual HRESULT STDMETHODCALLTYPE get_Content(HSTRING* value) = 0;                         // 6
  virtual HRESULT STDMETHODCALLTYPE put_Content(HSTRING value) = 0;                          // 7
  virtual HRESULT STDMETHODCALLTYPE get_Arguments(IMapStringString** value) = 0;             // 8
  virtual HRESULT STDMETHODCALLTYPE put_Arguments(IMapStringString* value) = 0;              // 9
  virtual HRESULT STDMETHODCALLTYPE get_Icon(IUriRuntimeClass** value) = 0;                  // 10
  virtual HRESULT STDMETHODCALLTYPE put_Icon(IUriRuntimeClass* value) = 0;                   // 11
  virtual HRESULT STDMETHODCALLTYPE get_ToolTip(HSTRING* value) = 0;                         // 12
  virtual HRESULT STDMETHODCALLTYPE put_ToolTip(HSTRING value) = 0;                          // 13
  virtual HRESULT STDMETHODCALLTYPE get_ContextMenuPlacement(Boolean* value) = 0;            // 14
  virtual HRESULT STDMETHODCALLTYPE put_ContextMenuPlacement(Boolean value) = 0;             // 15
  virtual HRESULT STDMETHODCALLTYPE get_ButtonStyle(AppNotificationButtonStyle* value) = 0;  // 16
  virtual HRESULT STDMETHODCALLTYPE put_ButtonStyle(AppNotificationButtonStyle value) = 0;   // 17
  virtual HRESULT STDMETHODCALLTYPE get_InputId(HSTRING* value) = 0;                         // 18
  virtual HRESULT STDMETHODCALLTYPE put_InputId(HSTRING value) = 0;                          // 19
  virtual HRESULT STDMETHODCALLTYPE get_InvokeUri(IUriRuntimeClass** value) = 0;             // 20
  virtual HRESULT STDMETHODCALLTYPE put_InvokeUri(IUriRuntimeClass* value) = 0;              // 21
  virtual HRESULT STDMETHODCALLTYPE get_TargetAppId(HSTRING* value) = 0;                     // 22
  virtual HRESULT STDMETHODCALLTYPE put_TargetAppId(HSTRING value) = 0;                      // 23
  virtual HRESULT STDMETHODCALLTYPE AddArgument(HSTRING key, HSTRING value,
                                                Self** result) = 0;                      // 24
  virtual HRESULT STDMETHODCALLTYPE SetIcon(IUriRuntimeClass* icon, Self** result) = 0;  // 25
  virtual HRESULT STDMETHODCALLTYPE SetToolTip(HSTRING tool_tip, Self** result) = 0;     // 26
  virtual HRESULT STDMETHODCALLTYPE SetContextMenuPlacement(Self** result) = 0;          // 27
  virtual HRESULT STDMETHODCALLTYPE SetButtonStyle(AppNotificationButtonStyle style,
                                                   Self** result) = 0;                // 28
  virtual HRESULT STDMETHODCALLTYPE SetInputId(HSTRING input_id, Self** result) = 0;  // 29
  virtual HRESULT STDMETHODCALLTYPE SetInvokeUri(IUriRuntimeClass* protocol_uri,
                                                 Self** result) = 0;  // 30
  virtual HRESULT STDMETHODCALLTYPE SetInvokeUri2(IUriRuntimeClass* protocol_uri,
                                                  HSTRING target_app_id, Self** result) = 0;  // 31
};

struct IAppNotificationButtonFactory : IInspectable {
  static constexpr GUID kIid = {
      0x4f109286, 0x0a6d, 0x5a5e, {0x9e, 0x8f, 0x9f, 0xe3, 0x16, 0x69, 0xfb, 0xb8}};
  virtual HRESULT STDMETHODCALLTYPE CreateInstance(HSTRING content,
                                                   IAppNotificationButton** instance) = 0;  // 6
};

// A progress bar; each of its texts and its value is either set here or
// bound to the notification's progress data.
struct IAppNotificationProgressBar : IInspectable {
  static constexpr GUID kIid = {
      0xfced62f2, 0x2074, 0x5641, {0x86, 0x30, 0x87, 0xa1, 0x43, 0x15, 0xac, 0x86}};
  using Self = IAppNotificationProgressBar;
  virtual HRESULT STDMETHODCALLTYPE get_Title(HSTRING* value) = 0;                // 6
  virtual HRESULT STDMETHODCALLTYPE put_Title(HSTRING value) = 0;                 // 7
  virtual HRESULT STDMETHODCALLTYPE get_Status(HSTRING* value) = 0;               // 8
  virtual HRESULT STDMETHODCALLTYPE put_Status(HSTRING value) = 0;                // 9
  virtual HRESULT STDMETHODCALLTYPE get_Value(DOUBLE* value) = 0;                 // 10
  virtual HRESULT STDMETHODCALLTYPE put_Value(DOUBLE value) = 0;                  // 11
  virtual HRESULT STDMETHODCALLTYPE get_ValueStringOverride(HSTRING* value) = 0;  // 12
  virtual HRESULT STDMETHODCALLTYPE put_ValueStringOverride(HSTRING value) = 0;   // 13
  virtual HRESULT STDMETHODCALLTYPE SetTitle(HSTRING value, Self** result) = 0;   // 14
  virtual HRESULT STDMETHODCALLTYPE BindTitle(Self** result) = 0;                 // 15
  virtual HRESULT STDMETHODCALLTYPE SetStatus(HSTRING value, Self** result) = 0;  // 16
  virtual HRESULT STDMETHODCALLTYPE BindStatus(Self** result) = 0;                // 17
  virtual HRESULT STDMETHODCALLTYPE SetValue(DOUBLE value, Self** result) = 0;    // 18
  virtual HRESULT STDMETHODCALLTYPE BindValue(Self** result) = 0;                 // 19
  virtual HRESULT STDMETHODCALLTYPE SetValueStringOverride(HSTRING value,
                                                           Self** result) = 0;   // 20
  virtual HRESULT STDMETHODCALLTYPE BindValueStringOverride(Self** result) = 0;  // 21
};

struct IAppNotificationBuilder : IInspectable {
  static constexpr GUID kIid = {
      0xe801d31f, 0xce03, 0x505c, {0xad, 0xec, 0x8a, 0x02, 0x72, 0x4e, 0xc9, 0xde}};
  using Self = IAppNotificationBuilder;
  using Uri = IUriRuntimeClass;
  virtual HRESULT STDMETHODCALLTYPE AddArgument(HSTRING key, HSTRING value,
                                                Self** result) = 0;                   // 6
  virtual HRESULT STDMETHODCALLTYPE SetTimeStamp(DateTime value, Self** result) = 0;  // 7
  virtual HRESULT STDMETHODCALLTYPE SetDuration(AppNotificationDuration value,
                                                Self** result) = 0;  // 8
  virtual HRESULT STDMETHODCALLTYPE SetScenario(AppNotificationScenario value,
                                                Self** result) = 0;            // 9
  virtual HRESULT STDMETHODCALLTYPE AddText(HSTRING text, Self** result) = 0;  // 10
  virtual HRESULT STDMETHODCALLTYPE AddText2(HSTRING text,
                                             IAppNotificationTextProperties* properties,
                                             Self** result) = 0;                          // 11
  virtual HRESULT STDMETHODCALLTYPE SetAttributionText(HSTRING text, Self** result) = 0;  // 12
  virtual HRESULT STDMETHODCALLTYPE SetAttributionText2(HSTRING text, HSTRING language,
                                                        Self** result) = 0;         // 13
  virtual HRESULT STDMETHODCALLTYPE SetInlineImage(Uri* image, Self** result) = 0;  // 14
  virtual HRESULT STDMETHODCALLTYPE SetInlineImage2(Uri* image, AppNotificationImageCrop crop,
                                                    Self** result) = 0;  // 15
  virtual HRESULT STDMETHODCALLTYPE SetInlineImage3(Uri* image, AppNotificationImageCrop crop,
                                                    HSTRING alternate_text,
                                                    Self** result) = 0;                 // 16
  virtual HRESULT STDMETHODCALLTYPE SetAppLogoOverride(Uri* image, Self** result) = 0;  // 17
  virtual HRESULT STDMETHODCALLTYPE SetAppLogoOverride2(Uri* image, AppNotificationImageCrop crop,
                                                        Self** result) = 0;  // 18
  virtual HRESULT STDMETHODCALLTYPE SetAppLogoOverride3(Uri* image, AppNotificationImageCrop crop,
                                                        HSTRING alternate_text,
                                                        Self** result) = 0;       // 19
  virtual HRESULT STDMETHODCALLTYPE SetHeroImage(Uri* image, Self** result) = 0;  // 20
  virtual HRESULT STDMETHODCALLTYPE SetHeroImage2(Uri* image, HSTRING alternate_text,
                                                  Self** result) = 0;            // 21
  virtual HRESULT STDMETHODCALLTYPE SetAudioUri(Uri* audio, Self** result) = 0;  // 22
  virtual HRESULT STDMETHODCALLTYPE SetAudioUri2(Uri* audio, AppNotificationAudioLooping loop,
                                                 Self** result) = 0;  // 23
  virtual HRESULT STDMETHODCALLTYPE SetAudioEvent(AppNotificationSoundEvent sound,
                                                  Self** result) = 0;  // 24
  virtual HRESULT STDMETHODCALLTYPE SetAudioEvent2(AppNotificationSoundEvent sound,
                                                   AppNotificationAudioLooping loop,
                                                   Self** result) = 0;          // 25
  virtual HRESULT STDMETHODCALLTYPE MuteAudio(Self** result) = 0;               // 26
  virtual HRESULT STDMETHODCALLTYPE AddTextBox(HSTRING id, Self** result) = 0;  // 27
  virtual HRESULT STDMETHODCALLTYPE AddTextBox2(HSTRING id, HSTRING place_holder_text,
                                                HSTRING title,
                                                Self** result) = 0;  // 28
  virtual HRESULT STDMETHODCALLTYPE AddButton(IAppNotificationButton* button,
                                              Self** result) = 0;  // 29
  virtual HRESULT STDMETHODCALLTYPE AddComboBox(IAppNotificationComboBox* combo_box,
                                                Self** result) = 0;  // 30
  virtual HRESULT STDMETHODCALLTYPE AddProgressBar(IAppNotificationProgressBar* bar,
                                                   Self** result) = 0;                 // 31
  virtual HRESULT STDMETHODCALLTYPE BuildNotification(IAppNotification** result) = 0;  // 32
  virtual HRESULT STDMETHODCALLTYPE SetTag(HSTRING value, Self** result) = 0;          // 33
  virtual HRESULT STDMETHODCALLTYPE SetGroup(HSTRING group, Self** result) = 0;        // 34
};

}  // namespace activator::abi
