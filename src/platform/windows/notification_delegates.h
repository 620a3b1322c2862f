// The delegates the program hands the Windows App SDK: the click handler
// subscribed to NotificationInvoked, and the completion handlers of a
// GetAllAsync listing and of an UpdateAsync progress update. Each is a small
// COM object of its own, answering its delegate interface, IUnknown and
// IAgileObject (the runtime calls them on threads of its own), with an
// atomic reference count.
#pragma once

#include <atomic>
#include <memory>

#include "platform/app_notifications.h"
#include "platform/os/winappsdk_abi.h"
#include "platform/os/windows_support.h"

namespace activator {

// QueryInterface and the reference count of a delegate object; it frees
// itself with its last reference.
template <class Interface>
class DelegateObject : public Interface {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (IsEqualGUID(iid, Interface::kIid) || IsEqualGUID(iid, IID_IUnknown) ||
        IsEqualGUID(iid, abi::kIidAgileObject)) {
      *out = static_cast<Interface*>(this);
      this->AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

 protected:
  virtual ~DelegateObject() = default;

 private:
  std::atomic<ULONG> references_{1};
};

// Runs the program's click handler; whatever it raises stays here, and the
// runtime is told the event was handled.
class NotificationInvokedDelegate final : public DelegateObject<abi::INotificationInvokedHandler> {
 public:
  explicit NotificationInvokedDelegate(NotificationInvokedHandler handler)
      : handler_(std::move(handler)) {}
  HRESULT STDMETHODCALLTYPE Invoke(abi::IAppNotificationManager* sender,
                                   abi::IAppNotificationActivatedEventArgs* args) override;

 private:
  const NotificationInvokedHandler handler_;
};

// Where an asynchronous call's completion is awaited (a listing, a progress
// update): the event is set once the operation has completed, failed or been
// cancelled, and `status` says which.
struct AsyncCompletion {
  AsyncCompletion() : done(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  UniqueHandle done;
  std::atomic<abi::AsyncStatus> status{abi::AsyncStatus::kStarted};
};

// The completion handler of an operation: it only records the outcome, so
// it may run on any thread, at once inside put_Completed included.
template <class Handler, class Operation>
class CompletedDelegate final : public DelegateObject<Handler> {
 public:
  explicit CompletedDelegate(std::shared_ptr<AsyncCompletion> completion)
      : completion_(std::move(completion)) {}
  HRESULT STDMETHODCALLTYPE Invoke(Operation* /*operation*/, abi::AsyncStatus status) override {
    completion_->status.store(status);
    ::SetEvent(completion_->done.get());
    return S_OK;
  }

 private:
  // Shared with the waiting caller, who may have given up before this runs.
  const std::shared_ptr<AsyncCompletion> completion_;
};

using ListingCompletedDelegate =
    CompletedDelegate<abi::IAsyncOperationCompletedHandlerVectorAppNotification,
                      abi::IAsyncOperationVectorAppNotification>;
using ProgressUpdateCompletedDelegate =
    CompletedDelegate<abi::IAsyncOperationCompletedHandlerProgressResult,
                      abi::IAsyncOperationProgressResult>;

}  // namespace activator
