// The app-notification seam over the Windows App SDK, through the WinRT ABI:
// classes come from their activation factories, every interface reference
// and HSTRING is owned by a ComRef or an HString, and each failed call is
// raised as HResultError with the runtime's result code.
#include "platform/windows/app_notifications_windows.h"

#include <roapi.h>

#include <algorithm>
#include <chrono>
#include <map>

#include "platform/text_conversion.h"

namespace activator {

namespace {

// How long a show that found no service waits before the next try.
constexpr std::chrono::milliseconds kServiceRetryPause{1000};

template <class Factory>
ComRef<Factory> GetFactory(const wchar_t* class_name) {
  const HString name(reinterpret_cast<const char16_t*>(class_name));
  ComRef<Factory> factory;
  ThrowIfFailed(::RoGetActivationFactory(name.get(), Factory::kIid, factory.put_void()));
  return factory;
}

template <class Interface>
ComRef<Interface> ActivateInstance(const wchar_t* class_name) {
  const HString name(reinterpret_cast<const char16_t*>(class_name));
  ComRef<IInspectable> instance;
  ThrowIfFailed(::RoActivateInstance(name.get(), instance.put()));
  return instance.As<Interface>();
}

// The builder and the button answer each fluent call with themselves; that
// extra reference is dropped at once.
template <class Interface, class Call>
void Fluent(const ComRef<Interface>& object, Call call) {
  ComRef<Interface> self;
  ThrowIfFailed(call(object.get(), self.put()));
}

// Waits, at most `limit`, for the operation behind `info` to complete; raises
// when it fails, is cancelled or does not complete in time (then it is
// cancelled, best effort: it is given up either way). `what` names it in the
// error's text.
void AwaitCompletion(const ComRef<abi::IAsyncInfo>& info, const AsyncCompletion& completion,
                     std::chrono::milliseconds limit, const std::string& what) {
  // A bound, never INFINITE: an operation that never completes is given up.
  const auto wait = static_cast<DWORD>(
      std::clamp<std::chrono::milliseconds::rep>(limit.count(), 0, INFINITE - 1));
  if (::WaitForSingleObject(completion.done.get(), wait) != WAIT_OBJECT_0) {
    info->Cancel();
    throw HResultError(kHrTimeout, what + " did not complete");
  }
  switch (completion.status.load()) {
    case abi::AsyncStatus::kCompleted:
      return;
    case abi::AsyncStatus::kCanceled:
      throw HResultError(kHrCancelled, what + " cancelled");
    case abi::AsyncStatus::kError: {
      HRESULT error = S_OK;
      if (FAILED(info->get_ErrorCode(&error)) || SUCCEEDED(error)) error = E_FAIL;
      throw HResultError(static_cast<HResult>(error), what + " failed");
    }
    default:
      throw HResultError(kHrIllegalMethodCall, what + " not complete");
  }
}

// The runtime's progress data for `data`, from its factory.
ComRef<abi::IAppNotificationProgressData> MakeProgressData(
    const AppNotificationProgressData& data) {
  auto factory =
      GetFactory<abi::IAppNotificationProgressDataFactory>(abi::kAppNotificationProgressDataClass);
  ComRef<abi::IAppNotificationProgressData> progress;
  ThrowIfFailed(factory->CreateInstance(data.sequence_number, progress.put()));
  if (!progress) throw HResultError(static_cast<HResult>(E_POINTER));
  const HString status(data.status);
  ThrowIfFailed(progress->put_Status(status.get()));
  ThrowIfFailed(progress->put_Value(data.value));
  return progress;
}

}  // namespace

Uri::Uri(std::u16string_view address) : impl_(std::make_shared<Impl>()) {
  auto factory = GetFactory<abi::IUriRuntimeClassFactory>(abi::kUriClass);
  const HString text(address);
  ThrowIfFailed(factory->CreateUri(text.get(), impl_->uri.put()));
}

AppNotificationButton::AppNotificationButton(std::u16string_view content)
    : impl_(std::make_shared<Impl>()) {
  auto factory = GetFactory<abi::IAppNotificationButtonFactory>(abi::kAppNotificationButtonClass);
  const HString caption(content);
  ThrowIfFailed(factory->CreateInstance(caption.get(), impl_->button.put()));
}

AppNotificationButton& AppNotificationButton::AddArgument(std::u16string_view key,
                                                          std::u16string_view value) {
  const HString k(key), v(value);
  Fluent(impl_->button,
         [&](auto* b, auto** self) { return b->AddArgument(k.get(), v.get(), self); });
  return *this;
}

AppNotificationProgressBar::AppNotificationProgressBar() : impl_(std::make_shared<Impl>()) {
  impl_->bar =
      ActivateInstance<abi::IAppNotificationProgressBar>(abi::kAppNotificationProgressBarClass);
  // The SDK binds what is not set already; saying so keeps the bar bound
  // should that default change.
  Fluent(impl_->bar, [](auto* b, auto** self) { return b->BindStatus(self); });
  Fluent(impl_->bar, [](auto* b, auto** self) { return b->BindValue(self); });
}

std::u16string AppNotification::Tag() const {
  HString tag;
  ThrowIfFailed(impl_->notification->get_Tag(tag.put()));
  return tag.Text();
}

std::u16string AppNotification::Group() const {
  HString group;
  ThrowIfFailed(impl_->notification->get_Group(group.put()));
  return group.Text();
}

void AppNotification::SetProgress(const AppNotificationProgressData& data) {
  const auto progress = MakeProgressData(data);
  ThrowIfFailed(impl_->notification->put_Progress(progress.get()));
}

void AppNotification::SetSuppressDisplay(bool suppress) {
  ThrowIfFailed(impl_->notification->put_SuppressDisplay(suppress ? 1 : 0));
}

AppNotificationBuilder::AppNotificationBuilder() : impl_(std::make_shared<Impl>()) {
  impl_->builder =
      ActivateInstance<abi::IAppNotificationBuilder>(abi::kAppNotificationBuilderClass);
}

AppNotificationBuilder& AppNotificationBuilder::SetHeroImage(const Uri& image) {
  Fluent(impl_->builder,
         [&](auto* b, auto** self) { return b->SetHeroImage(image.impl()->uri.get(), self); });
  return *this;
}

AppNotificationBuilder& AppNotificationBuilder::SetTag(std::u16string_view tag) {
  const HString text(tag);
  Fluent(impl_->builder, [&](auto* b, auto** self) { return b->SetTag(text.get(), self); });
  return *this;
}

AppNotificationBuilder& AppNotificationBuilder::SetGroup(std::u16string_view group) {
  const HString text(group);
  Fluent(impl_->builder, [&](auto* b, auto** self) { return b->SetGroup(text.get(), self); });
  return *this;
}

AppNotificationBuilder& AppNotificationBuilder::AddText(std::u16string_view text) {
  const HString line(text);
  Fluent(impl_->builder, [&](auto* b, auto** self) { return b->AddText(line.get(), self); });
  return *this;
}

AppNotificationBuilder& AppNotificationBuilder::AddButton(const AppNotificationButton& button) {
  Fluent(impl_->builder,
         [&](auto* b, auto** self) { return b->AddButton(button.impl()->button.get(), self); });
  return *this;
}

AppNotificationBuilder& AppNotificationBuilder::AddProgressBar(
    const AppNotificationProgressBar& bar) {
  Fluent(impl_->builder,
         [&](auto* b, auto** self) { return b->AddProgressBar(bar.impl()->bar.get(), self); });
  return *this;
}

AppNotificationBuilder& AppNotificationBuilder::SetAttributionText(std::u16string_view text) {
  const HString line(text);
  Fluent(impl_->builder,
         [&](auto* b, auto** self) { return b->SetAttributionText(line.get(), self); });
  return *this;
}

AppNotification AppNotificationBuilder::BuildNotification() {
  ComRef<abi::IAppNotification> built;
  ThrowIfFailed(impl_->builder->BuildNotification(built.put()));
  return AppNotification(std::make_shared<AppNotification::Impl>(std::move(built)));
}

AppNotificationArguments AppNotificationActivatedEventArgs::Arguments() const {
  if (!impl_->args) throw HResultError(static_cast<HResult>(E_POINTER));
  // The button's arguments are on the second interface of the event args.
  auto args2 = impl_->args.As<abi::IAppNotificationActivatedEventArgs2>();
  ComRef<abi::IMapStringString> map;
  ThrowIfFailed(args2->get_Arguments(map.put()));
  if (!map) throw HResultError(static_cast<HResult>(E_POINTER));
  auto pairs = map.As<abi::IIterableKeyValuePairStringString>();
  ComRef<abi::IIteratorKeyValuePairStringString> at;
  ThrowIfFailed(pairs->First(at.put()));
  std::map<std::u16string, std::u16string> values;
  abi::Boolean has_current = 0;
  ThrowIfFailed(at->get_HasCurrent(&has_current));
  while (has_current) {
    ComRef<abi::IKeyValuePairStringString> pair;
    ThrowIfFailed(at->get_Current(pair.put()));
    HString key, value;
    ThrowIfFailed(pair->get_Key(key.put()));
    ThrowIfFailed(pair->get_Value(value.put()));
    values.emplace(key.Text(), value.Text());
    ThrowIfFailed(at->MoveNext(&has_current));
  }
  return AppNotificationArguments(std::move(values));
}

std::vector<AppNotification> AppNotificationListOperation::get(
    std::chrono::milliseconds limit) const {
  auto info = impl_->operation.As<abi::IAsyncInfo>();
  AwaitCompletion(info, *impl_->completion, limit, "listing");
  ComRef<abi::IVectorAppNotification> results;
  ThrowIfFailed(impl_->operation->GetResults(results.put()));
  info->Close();
  std::vector<AppNotification> listing;
  if (!results) return listing;
  UINT32 size = 0;
  ThrowIfFailed(results->get_Size(&size));
  listing.reserve(size);
  for (UINT32 i = 0; i < size; ++i) {
    ComRef<abi::IAppNotification> item;
    ThrowIfFailed(results->GetAt(i, item.put()));
    listing.emplace_back(std::make_shared<AppNotification::Impl>(std::move(item)));
  }
  return listing;
}

AppNotificationManager AppNotificationManager::Default() {
  auto statics = GetFactory<abi::IAppNotificationManagerStatics>(abi::kAppNotificationManagerClass);
  ComRef<abi::IAppNotificationManager> manager;
  ThrowIfFailed(statics->get_Default(manager.put()));
  if (!manager) throw HResultError(static_cast<HResult>(E_POINTER));
  return AppNotificationManager(std::make_shared<Impl>(std::move(manager)));
}

bool AppNotificationManager::IsSupported() {
  auto statics =
      GetFactory<abi::IAppNotificationManagerStatics2>(abi::kAppNotificationManagerClass);
  abi::Boolean supported = 0;
  ThrowIfFailed(statics->IsSupported(&supported));
  return supported != 0;
}

int64_t AppNotificationManager::NotificationClosed(NotificationClosedHandler /*handler*/) const {
  // The runtime raises no event when a notification leaves the centre.
  return 0;
}

int64_t AppNotificationManager::NotificationInvoked(NotificationInvokedHandler handler) const {
  auto delegate = ComRef<abi::INotificationInvokedHandler>::Adopt(
      new NotificationInvokedDelegate(std::move(handler)));
  abi::EventRegistrationToken token{};
  ThrowIfFailed(impl_->manager->add_NotificationInvoked(delegate.get(), &token));
  return token.value;  // the manager keeps its own reference to the delegate
}

void AppNotificationManager::Register() const { ThrowIfFailed(impl_->manager->Register()); }

void AppNotificationManager::UnregisterAll() const {
  ThrowIfFailed(impl_->manager->UnregisterAll());
}

std::vector<AppNotificationManager::LeftoverKey> AppNotificationManager::RemoveLeftovers() const {
  // The SDK (AppNotificationUtility.cpp, RetrieveUnpackagedNotificationAppId)
  // files an unpackaged program's notification GUID under
  // AppUserModelId\<its path, every '\' made '.'>; UnregisterAll deletes the
  // key named by that GUID and the COM server's, never this one. Named after
  // this very executable's path, it can be no other program's.
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  std::replace(path.begin(), path.end(), L'\\', L'.');
  const std::wstring key = L"Software\\Classes\\AppUserModelId\\" + path;
  const LSTATUS status = ::RegDeleteKeyW(HKEY_CURRENT_USER, key.c_str());
  if (status == ERROR_FILE_NOT_FOUND) return {};
  return {{Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(key.data()),
                                           key.size())),
           static_cast<uint32_t>(status)}};
}

std::optional<AppNotificationActivatedEventArgs> AppNotificationManager::LaunchingClick() const {
  // Started by a click ("<program> ----AppNotificationActivated:"), the
  // process gets that click from the app-lifecycle API, which waits for it
  // after Register, not from NotificationInvoked.
  auto statics = GetFactory<abi::IAppInstanceStatics>(abi::kAppInstanceClass);
  ComRef<abi::IAppInstance> current;
  ThrowIfFailed(statics->GetCurrent(current.put()));
  if (!current) throw HResultError(static_cast<HResult>(E_POINTER));
  ComRef<abi::IAppActivationArguments> activation;
  ThrowIfFailed(current->GetActivatedEventArgs(activation.put()));
  if (!activation) return std::nullopt;
  abi::ExtendedActivationKind kind = 0;
  ThrowIfFailed(activation->get_Kind(&kind));
  if (kind != abi::kActivationKindAppNotification) return std::nullopt;
  ComRef<IInspectable> data;
  ThrowIfFailed(activation->get_Data(data.put()));
  if (!data) throw HResultError(static_cast<HResult>(E_POINTER));
  return AppNotificationActivatedEventArgs(
      std::make_shared<AppNotificationActivatedEventArgs::Impl>(
          data.As<abi::IAppNotificationActivatedEventArgs>()));
}

// Tags and groups let a new process replace what its predecessor showed, and a
// click carries its arguments: there is nothing to keep.
void AppNotificationManager::ResumeKeptEntries(std::map<std::string, std::string>,
                                               KeptEntrySink) const {}

void AppNotificationManager::Show(const AppNotification& notification) const {
  ThrowIfFailed(impl_->manager->Show(notification.impl()->notification.get()));
}

AppNotificationProgressResult AppNotificationManager::UpdateProgress(
    const AppNotificationProgressData& data, std::u16string_view tag,
    std::u16string_view group) const {
  const auto progress = MakeProgressData(data);
  auto completion = std::make_shared<AsyncCompletion>();
  if (!completion->done)
    throw HResultError(static_cast<HResult>(HRESULT_FROM_WIN32(::GetLastError())));
  const HString tag_text(tag), group_text(group);
  ComRef<abi::IAsyncOperationProgressResult> operation;
  ThrowIfFailed(impl_->manager->UpdateAsync(progress.get(), tag_text.get(), group_text.get(),
                                            operation.put()));
  if (!operation) throw HResultError(static_cast<HResult>(E_POINTER));
  auto handler = ComRef<abi::IAsyncOperationCompletedHandlerProgressResult>::Adopt(
      new ProgressUpdateCompletedDelegate(completion));
  ThrowIfFailed(operation->put_Completed(handler.get()));
  auto info = operation.As<abi::IAsyncInfo>();
  AwaitCompletion(info, *completion, kListingTimeLimit, "progress update");
  abi::AppNotificationProgressResult result = 0;
  ThrowIfFailed(operation->GetResults(&result));
  info->Close();
  switch (result) {
    case abi::kProgressSucceeded:
    // Run elevated, the runtime serves nothing and every call succeeds.
    case abi::kProgressUnsupported:
      return AppNotificationProgressResult::kSucceeded;
    case abi::kProgressAppNotificationNotFound:
      return AppNotificationProgressResult::kNotificationNotFound;
    default:
      throw HResultError(kHrFail, "progress update ended in an unknown way");
  }
}

// The notification centre lists the newest first, and a replacement moves to
// the top.
CentreOrder AppNotificationManager::DrawOrder() const { return {}; }

bool AppNotificationManager::WaitForService(std::chrono::milliseconds limit) const {
  // The app-notification service is the system's own and tells no one when it
  // is back: a failed show is tried again after a pause, never at once.
  ::Sleep(static_cast<DWORD>(std::min<std::chrono::milliseconds::rep>(
      std::max<std::chrono::milliseconds::rep>(limit.count(), 0), kServiceRetryPause.count())));
  return true;
}

AppNotificationListOperation AppNotificationManager::GetAllAsync() const {
  auto impl = std::make_shared<AppNotificationListOperation::Impl>();
  impl->completion = std::make_shared<AsyncCompletion>();
  if (!impl->completion->done)
    throw HResultError(static_cast<HResult>(HRESULT_FROM_WIN32(::GetLastError())));
  ThrowIfFailed(impl_->manager->GetAllAsync(impl->operation.put()));
  if (!impl->operation) throw HResultError(static_cast<HResult>(E_POINTER));
  auto handler = ComRef<abi::IAsyncOperationCompletedHandlerVectorAppNotification>::Adopt(
      new ListingCompletedDelegate(impl->completion));
  ThrowIfFailed(impl->operation->put_Completed(handler.get()));
  return AppNotificationListOperation(std::move(impl));
}

}  // namespace activator
