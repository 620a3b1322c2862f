// A stand-in for the Windows App SDK's app-notification runtime, for the
// tests only. Wine's combase loads it for the runtime class names registered
// to it and asks it for activation factories; behind them is an in-memory
// notification centre. A test drives and reads the centre through
// StandinCommand, in the same process, or through a named pipe that the
// stand-in serves when STANDIN_CONTROL_PIPE names one (for a program run as
// a process of its own).
//
// What it has of the real runtime's behaviour besides its interfaces:
// - run elevated (STANDIN_ELEVATED set in the process's environment),
//   IsSupported is false and every manager call does nothing and succeeds;
// - a show whose tag is longer than 64 UTF-16 units fails, and so does a
//   build whose payload is longer than 5120 characters and a fourth AddText;
// - progress as in the SDK's source: a bar's status and value are bound to
//   the notification's progress data unless set, the data is taken as it is
//   at the show, and UpdateAsync (tag and group) replaces it in place, never
//   showing anything anew: data with a lower sequence number than that shown
//   is ignored, no notification with that tag and group gives
//   AppNotificationNotFound, an empty tag or a sequence number of 0 fails
//   the operation with E_INVALIDARG, and run elevated it gives Unsupported.
//   The centre records each show as a banner or, with SuppressDisplay, a
//   quiet one, and each update ("events");
// - the builder writes the payload the real one writes (Payload), and a click
//   hands over a button's arguments as they come back through that payload;
//   app_notifications_windows_test holds both against the real builder;
// - the real runtime's builder, loaded beside it, finds Uri (with IStringable)
//   and Windows.Data.Xml.Dom.XmlDocument here, as wine has neither;
// - in a process started with "----AppNotificationActivated:" the click that
//   started it is kept for AppInstance.GetActivatedEventArgs and never raised
//   as NotificationInvoked. As in the SDK's AppNotificationManager (its
//   Deserialize, reached from AppInstance), each call waits at most 2 seconds
//   for that click and then fails with HRESULT_FROM_WIN32(ERROR_TIMEOUT); a
//   click that arrives later (handed over by a test: "launch-click") is kept
//   and returned at once to the next call. The wait uses an event that only a
//   successful Register makes: asked without one, the SDK's wait fails fast
//   and the process ends (exit status 0xC0000409), which no caller can catch;
//   so it does here. An elevated process's Register, which returns at once,
//   makes none either;
// - STANDIN_FAIL ("Operation=hex code,...") in the process's environment arms
//   failures from the start, before a test could reach the control pipe.
//
// It implements the interfaces of platform/os/winappsdk_abi.h, so it cannot
// catch a wrong interface identifier there: abi_identity_test holds those
// against the system's own headers.
#include <msxml2.h>
#include <process.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "base/mutex.h"
#include "platform/text_conversion.h"
#include "platform/windows/winrt_refs.h"
#include "windows/standin_runtime/standin_control.h"
#include "windows/standin_runtime/standin_object.h"

namespace standin {

using activator::ComRef;

std::atomic<long>& LiveObjects() {
  static std::atomic<long> live{0};
  return live;
}

namespace {

std::atomic<long> g_strings_handed_out{0};

// An HSTRING for an out parameter, counted: the caller owns it now.
HRESULT Out(std::u16string_view text, HSTRING* out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (text.empty()) return S_OK;
  const HRESULT hr = ::WindowsCreateString(reinterpret_cast<const wchar_t*>(text.data()),
                                           static_cast<UINT32>(text.size()), out);
  if (SUCCEEDED(hr) && *out != nullptr) ++g_strings_handed_out;
  return hr;
}

std::u16string In(HSTRING text) {
  UINT32 length = 0;
  const wchar_t* buffer = ::WindowsGetStringRawBuffer(text, &length);
  return buffer == nullptr ? std::u16string()
                           : std::u16string(reinterpret_cast<const char16_t*>(buffer), length);
}

template <class T>
HRESULT Give(T* object, T** out) {  // hands over the new object's one reference
  if (out == nullptr) {
    object->Release();
    return E_POINTER;
  }
  *out = object;
  return S_OK;
}

template <class T>
HRESULT ReturnSelf(T* self, T** out) {
  if (out == nullptr) return E_POINTER;
  self->AddRef();
  *out = self;
  return S_OK;
}

// Result codes of the runtime that the system headers of a cross build may
// not name.
constexpr HRESULT kBounds = static_cast<HRESULT>(0x8000000B);
constexpr HRESULT kIllegalMethodCall = static_cast<HRESULT>(0x8000000E);
constexpr HRESULT kIllegalDelegateAssignment = static_cast<HRESULT>(0x80000018);

using Pairs = std::vector<std::pair<std::u16string, std::u16string>>;

struct ButtonContent {
  std::u16string caption;
  Pairs arguments;
};

// A progress bar: each of status and value is bound to the notification's
// progress data unless set to a value of its own.
struct BarContent {
  std::optional<std::u16string> status;
  std::optional<double> value;
};

// Progress data, as a notification carries it to the centre.
struct ProgressValues {
  UINT32 sequence_number = 0;
  std::u16string status;
  double value = 0;
};

struct Content {
  std::u16string tag, group, image, attribution;
  std::vector<std::u16string> texts;
  std::vector<ButtonContent> buttons;
  std::vector<BarContent> bars;
  std::u16string payload;                  // the toast XML, as the real builder writes it
  std::optional<ProgressValues> progress;  // as it was at the show, then as updated
  bool suppress_display = false;
};

// A button's arguments as the real runtime carries them, in its payload and
// back to a click: one per key (a later one replacing an earlier), in key
// order, each key and value with %, ; and = escaped ("k=v;k2" for an empty
// value).
std::u16string EncodeArguments(const Pairs& arguments) {
  const auto escape = [](const std::u16string& text) {
    std::u16string out;
    for (const char16_t c : text) {
      out += c == u'%' ? u"%25" : c == u';' ? u"%3B" : c == u'=' ? u"%3D" : std::u16string(1, c);
    }
    return out;
  };
  const std::map<std::u16string, std::u16string> keyed(arguments.rbegin(), arguments.rend());
  std::u16string joined;
  for (const auto& [key, value] : keyed) {
    if (!joined.empty()) joined += u';';
    joined += escape(key) + (value.empty() ? u"" : u"=" + escape(value));
  }
  return joined;
}

// What a click on a button with `encoded` arguments hands the program: the
// runtime's decoding, which undoes %25 before %3B and %3D, so that a value
// holding "%3B" or "%3D" comes back as ";" or "=".
Pairs DecodeArguments(const std::u16string& encoded) {
  const auto undo = [](std::u16string text) {
    for (const auto& [from, to] :
         {std::pair<std::u16string, char16_t>{u"%25", u'%'}, {u"%3B", u';'}, {u"%3D", u'='}}) {
      std::u16string out;
      std::size_t at = 0;
      for (std::size_t hit; (hit = text.find(from, at)) != std::u16string::npos;
           at = hit + from.size()) {
        out += text.substr(at, hit - at) + to;
      }
      text = out + text.substr(at);
    }
    return text;
  };
  Pairs pairs;
  std::size_t at = 0;
  while (at <= encoded.size() && !encoded.empty()) {
    std::size_t end = encoded.find(u';', at);
    if (end == std::u16string::npos) end = encoded.size();
    const std::u16string field = encoded.substr(at, end - at);
    const std::size_t eq = field.find(u'=');
    pairs.emplace_back(undo(field.substr(0, eq)),
                       eq == std::u16string::npos ? u"" : undo(field.substr(eq + 1)));
    at = end + 1;
  }
  return pairs;
}

std::u16string XmlEscaped(const std::u16string& text) {
  std::u16string out;
  for (const char16_t c : text) {
    switch (c) {
      case u'&':
        out += u"&amp;";
        break;
      case u'<':
        out += u"&lt;";
        break;
      case u'>':
        out += u"&gt;";
        break;
      case u'\'':
        out += u"&apos;";
        break;
      case u'"':
        out += u"&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// A number as the SDK's "%g" writes it.
std::u16string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return activator::Utf8ToUtf16(text);
}

// The toast XML of the real builder (as Payload gives it back under wine).
std::u16string ToastXml(const Content& c) {
  std::u16string xml = u"<toast><visual><binding template='ToastGeneric'>";
  for (const auto& text : c.texts) xml += u"<text>" + XmlEscaped(text) + u"</text>";
  if (!c.attribution.empty()) {
    xml += u"<text placement='attribution'>" + XmlEscaped(c.attribution) + u"</text>";
  }
  if (!c.image.empty()) xml += u"<image placement='hero' src='" + c.image + u"'/>";
  for (const auto& bar : c.bars) {
    xml += u"<progress status='" + (bar.status ? XmlEscaped(*bar.status) : u"{progressStatus}") +
           u"' value='" + (bar.value ? Number(*bar.value) : u"{progressValue}") + u"'/>";
  }
  xml += u"</binding></visual>";
  if (!c.buttons.empty()) {
    xml += u"<actions>";
    for (const auto& button : c.buttons) {
      xml += u"<action content='" + XmlEscaped(button.caption) + u"' arguments='" +
             XmlEscaped(EncodeArguments(button.arguments)) + u"'/>";
    }
    xml += u"</actions>";
  }
  return xml + u"</toast>";
}

struct Centre {
  activator::Mutex lock;
  std::vector<Content> shown GUARDED_BY(lock);
  // Shows and updates in order: "banner|quiet <tag>|<group>", "update|stale
  // <tag>|<group> <per cent>", "notfound <tag>|<group>".
  std::vector<std::string> events GUARDED_BY(lock);
  int unregistrations GUARDED_BY(lock) = 0;
  std::vector<ComRef<abi::INotificationInvokedHandler>> handlers GUARDED_BY(lock);
  std::map<std::string, HRESULT> failures GUARDED_BY(lock);
  int registrations GUARDED_BY(lock) = 0;
  int64_t next_token GUARDED_BY(lock) = 1;
};

Centre* NewCentre() {
  auto* centre = new Centre();
  char armed[512];
  const DWORD length = ::GetEnvironmentVariableA("STANDIN_FAIL", armed, sizeof armed);
  if (length == 0 || length >= sizeof armed) return centre;
  std::istringstream fields(std::string(armed, length));
  activator::MutexLock hold(centre->lock);
  for (std::string field; std::getline(fields, field, ',');) {
    const auto eq = field.find('=');
    if (eq == std::string::npos) continue;
    centre->failures[field.substr(0, eq)] =
        static_cast<HRESULT>(std::strtoul(field.c_str() + eq + 1, nullptr, 16));
  }
  return centre;
}

Centre& TheCentre() {
  static Centre* centre = NewCentre();  // outlives every thread that calls in
  return *centre;
}

// Made by the first successful Register, as the SDK makes the event its
// launching-click wait uses there.
std::atomic<bool> g_click_wait_made{false};

// The platform's limits.
constexpr std::size_t kMaxTagUnits = 64;
constexpr std::size_t kMaxPayloadCharacters = 5120;
constexpr std::size_t kMaxTexts = 3;  // the attribution text not counted

// A process run elevated: the runtime serves it nothing.
bool Elevated() {
  static const bool elevated = ::GetEnvironmentVariableA("STANDIN_ELEVATED", nullptr, 0) != 0;
  return elevated;
}

// What a test armed for `operation`: S_OK when nothing.
HRESULT Armed(const std::string& operation) {
  Centre& centre = TheCentre();
  activator::MutexLock hold(centre.lock);
  auto it = centre.failures.find(operation);
  return it == centre.failures.end() ? S_OK : it->second;
}

#define STANDIN_NOT_IMPLEMENTED(signature) \
  HRESULT STDMETHODCALLTYPE signature override { return E_NOTIMPL; }

// ---- Windows.Foundation.Uri ----

// Windows.Foundation.IStringable: the real builder reads a Uri through it.
struct IStringable : IInspectable {
  static constexpr GUID kIid = {
      0x96369f54, 0x8eb6, 0x48f0, {0xab, 0xce, 0xc1, 0xb2, 0x11, 0xe6, 0x27, 0xc3}};
  virtual HRESULT STDMETHODCALLTYPE ToString(HSTRING* value) = 0;  // 6
};

class UriObject final : public Object<abi::IUriRuntimeClass, IStringable> {
 public:
  explicit UriObject(std::u16string address) : address_(std::move(address)) {}
  HRESULT STDMETHODCALLTYPE get_AbsoluteUri(HSTRING* value) override {
    return Out(address_, value);
  }
  HRESULT STDMETHODCALLTYPE ToString(HSTRING* value) override { return Out(address_, value); }

 private:
  std::u16string address_;
};

class UriFactory final : public Object<abi::IActivationFactory, abi::IUriRuntimeClassFactory> {
 public:
  STANDIN_NOT_IMPLEMENTED(ActivateInstance(IInspectable**))
  HRESULT STDMETHODCALLTYPE CreateUri(HSTRING uri, abi::IUriRuntimeClass** instance) override {
    if (HRESULT hr = Armed("Uri"); FAILED(hr)) return hr;
    return Give<abi::IUriRuntimeClass>(new UriObject(In(uri)), instance);
  }
  STANDIN_NOT_IMPLEMENTED(CreateWithRelativeUri(HSTRING, HSTRING, abi::IUriRuntimeClass**))
};

// ---- Windows.Data.Xml.Dom ----
// Wine has no Windows.Data.Xml.Dom. The real runtime's AppNotification loads
// the builder's payload into an XmlDocument, so the stand-in serves one that
// checks the text with wine's MSXML parser (a payload that is not well-formed
// XML fails there as on Windows) and gives it back through GetXml.

struct IXmlDocumentIO : IInspectable {
  static constexpr GUID kIid = {
      0x6cd0e74e, 0xee65, 0x4489, {0x9e, 0xbf, 0xca, 0x43, 0xe8, 0x7b, 0xa6, 0x37}};
  virtual HRESULT STDMETHODCALLTYPE LoadXml(HSTRING xml) = 0;                         // 6
  virtual HRESULT STDMETHODCALLTYPE LoadXmlWithSettings(HSTRING xml, IUnknown*) = 0;  // 7
  virtual HRESULT STDMETHODCALLTYPE SaveToFileAsync(IUnknown* file, IUnknown**) = 0;  // 8
};

struct IXmlNodeSerializer : IInspectable {
  static constexpr GUID kIid = {
      0x5cc5b382, 0xe6dd, 0x4991, {0xab, 0xef, 0x06, 0xd8, 0xd2, 0xe7, 0xbd, 0x0c}};
  virtual HRESULT STDMETHODCALLTYPE GetXml(HSTRING* xml) = 0;          // 6
  virtual HRESULT STDMETHODCALLTYPE get_InnerText(HSTRING* text) = 0;  // 7
  virtual HRESULT STDMETHODCALLTYPE put_InnerText(HSTRING text) = 0;   // 8
};

// IXmlDocument, the class's default interface: the runtime holds the document
// by it and calls none of its own methods, so each of them fails.
constexpr GUID kIidXmlDocument = {
    0xf7f3a506, 0x1e87, 0x42d6, {0xbc, 0xfb, 0xb8, 0xc8, 0x09, 0xfa, 0x54, 0x94}};
constexpr GUID kClsidDomDocument60 = {
    0x88d96a05, 0xf192, 0x11d4, {0xa6, 0x5f, 0x00, 0x40, 0x96, 0x32, 0x51, 0xe5}};
constexpr GUID kIidDomDocument = {
    0x2933bf81, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};

// The result of parsing `xml` with MSXML: S_OK, or the parser's error code.
HRESULT ParseXml(const std::u16string& xml) {
  ComRef<IXMLDOMDocument> document;
  HRESULT hr = ::CoCreateInstance(kClsidDomDocument60, nullptr, CLSCTX_INPROC_SERVER,
                                  kIidDomDocument, document.put_void());
  if (FAILED(hr)) return hr;
  BSTR text = ::SysAllocStringLen(reinterpret_cast<const OLECHAR*>(xml.data()),
                                  static_cast<UINT>(xml.size()));
  VARIANT_BOOL loaded = VARIANT_FALSE;
  hr = document->loadXML(text, &loaded);
  ::SysFreeString(text);
  if (FAILED(hr) || loaded == VARIANT_TRUE) return hr;
  ComRef<IXMLDOMParseError> error;
  long code = 0;
  if (SUCCEEDED(document->get_parseError(error.put())) && error) error->get_errorCode(&code);
  return code < 0 ? static_cast<HRESULT>(code) : E_FAIL;
}

class XmlDocument final : public Object<IXmlDocumentIO, IXmlNodeSerializer> {
 public:
  XmlDocument() : face_{FaceTable(), this} {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out != nullptr && IsEqualGUID(iid, kIidXmlDocument)) {
      AddRef();
      *out = &face_;
      return S_OK;
    }
    return Object::QueryInterface(iid, out);
  }
  HRESULT STDMETHODCALLTYPE LoadXml(HSTRING xml) override {
    const std::u16string text = In(xml);
    if (HRESULT hr = ParseXml(text); FAILED(hr)) return hr;
    xml_ = text;
    return S_OK;
  }
  STANDIN_NOT_IMPLEMENTED(LoadXmlWithSettings(HSTRING, IUnknown*))
  STANDIN_NOT_IMPLEMENTED(SaveToFileAsync(IUnknown*, IUnknown**))
  HRESULT STDMETHODCALLTYPE GetXml(HSTRING* xml) override { return Out(xml_, xml); }
  STANDIN_NOT_IMPLEMENTED(get_InnerText(HSTRING*))
  STANDIN_NOT_IMPLEMENTED(put_InnerText(HSTRING))

 private:
  // A COM face with a table of its own: IUnknown and IInspectable go to the
  // document, every other slot fails.
  struct Face {
    const void* const* table;
    XmlDocument* owner;
  };
  static IXmlDocumentIO* Owner(Face* face) { return face->owner; }
  static const void* const* FaceTable() {
    using Any = HRESULT(STDMETHODCALLTYPE*)();
    static const auto table = [] {
      std::array<const void*, 64> slots{};
      slots.fill(reinterpret_cast<const void*>(
          static_cast<Any>([]() STDMETHODCALLTYPE -> HRESULT { return E_NOTIMPL; })));
      slots[0] = reinterpret_cast<const void*>(
          +[](Face* f, REFIID iid, void** out)
               STDMETHODCALLTYPE -> HRESULT { return Owner(f)->QueryInterface(iid, out); });
      slots[1] = reinterpret_cast<const void*>(
          +[](Face* f) STDMETHODCALLTYPE -> ULONG { return Owner(f)->AddRef(); });
      slots[2] = reinterpret_cast<const void*>(
          +[](Face* f) STDMETHODCALLTYPE -> ULONG { return Owner(f)->Release(); });
      slots[3] = reinterpret_cast<const void*>(
          +[](Face* f, ULONG* n, IID** iids)
               STDMETHODCALLTYPE -> HRESULT { return Owner(f)->GetIids(n, iids); });
      slots[4] =
          reinterpret_cast<const void*>(+[](Face* f, HSTRING* name) STDMETHODCALLTYPE -> HRESULT {
            return Owner(f)->GetRuntimeClassName(name);
          });
      slots[5] = reinterpret_cast<const void*>(
          +[](Face* f, TrustLevel* level)
               STDMETHODCALLTYPE -> HRESULT { return Owner(f)->GetTrustLevel(level); });
      return slots;
    }();
    return table.data();
  }

  Face face_;
  std::u16string xml_;
};

class XmlDocumentFactory final : public Object<abi::IActivationFactory> {
 public:
  HRESULT STDMETHODCALLTYPE ActivateInstance(IInspectable** instance) override {
    return Give<IInspectable>(static_cast<IXmlDocumentIO*>(new XmlDocument()), instance);
  }
};

// ---- collections ----

class KeyValuePair final : public Object<abi::IKeyValuePairStringString> {
 public:
  KeyValuePair(std::u16string key, std::u16string value)
      : key_(std::move(key)), value_(std::move(value)) {}
  HRESULT STDMETHODCALLTYPE get_Key(HSTRING* key) override { return Out(key_, key); }
  HRESULT STDMETHODCALLTYPE get_Value(HSTRING* value) override { return Out(value_, value); }

 private:
  std::u16string key_, value_;
};

class PairIterator final : public Object<abi::IIteratorKeyValuePairStringString> {
 public:
  explicit PairIterator(Pairs pairs) : pairs_(std::move(pairs)) {}
  HRESULT STDMETHODCALLTYPE get_Current(abi::IKeyValuePairStringString** current) override {
    if (at_ >= pairs_.size()) return kBounds;
    return Give<abi::IKeyValuePairStringString>(
        new KeyValuePair(pairs_[at_].first, pairs_[at_].second), current);
  }
  HRESULT STDMETHODCALLTYPE get_HasCurrent(abi::Boolean* has_current) override {
    *has_current = at_ < pairs_.size();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE MoveNext(abi::Boolean* has_current) override {
    if (at_ < pairs_.size()) ++at_;
    *has_current = at_ < pairs_.size();
    return S_OK;
  }
  STANDIN_NOT_IMPLEMENTED(GetMany(UINT32, abi::IKeyValuePairStringString**, UINT32*))

 private:
  Pairs pairs_;
  std::size_t at_ = 0;
};

class StringMap final
    : public Object<abi::IMapStringString, abi::IIterableKeyValuePairStringString> {
 public:
  explicit StringMap(Pairs pairs) : pairs_(std::move(pairs)) {}
  HRESULT STDMETHODCALLTYPE Lookup(HSTRING key, HSTRING* value) override {
    for (const auto& [k, v] : pairs_) {
      if (k == In(key)) return Out(v, value);
    }
    return kBounds;
  }
  HRESULT STDMETHODCALLTYPE get_Size(UINT32* size) override {
    *size = static_cast<UINT32>(pairs_.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE HasKey(HSTRING key, abi::Boolean* found) override {
    *found = 0;
    for (const auto& pair : pairs_) *found |= pair.first == In(key) ? 1 : 0;
    return S_OK;
  }
  STANDIN_NOT_IMPLEMENTED(GetView(abi::IMapViewStringString**))
  STANDIN_NOT_IMPLEMENTED(Insert(HSTRING, HSTRING, abi::Boolean*))
  STANDIN_NOT_IMPLEMENTED(Remove(HSTRING))
  STANDIN_NOT_IMPLEMENTED(Clear())
  HRESULT STDMETHODCALLTYPE First(abi::IIteratorKeyValuePairStringString** first) override {
    if (HRESULT hr = Armed("Iterate"); FAILED(hr)) return hr;
    return Give<abi::IIteratorKeyValuePairStringString>(new PairIterator(pairs_), first);
  }

 private:
  Pairs pairs_;
};

// ---- Microsoft.Windows.AppNotifications.Builder ----

class Button final : public Object<abi::IAppNotificationButton> {
 public:
  explicit Button(std::u16string caption) { content.caption = std::move(caption); }
  HRESULT STDMETHODCALLTYPE get_Content(HSTRING* value) override {
    return Out(content.caption, value);
  }
  HRESULT STDMETHODCALLTYPE put_Content(HSTRING value) override {
    content.caption = In(value);
    return S_OK;
  }
  STANDIN_NOT_IMPLEMENTED(get_Arguments(abi::IMapStringString**))
  STANDIN_NOT_IMPLEMENTED(put_Arguments(abi::IMapStringString*))
  STANDIN_NOT_IMPLEMENTED(get_Icon(abi::IUriRuntimeClass**))
  STANDIN_NOT_IMPLEMENTED(put_Icon(abi::IUriRuntimeClass*))
  STANDIN_NOT_IMPLEMENTED(get_ToolTip(HSTRING*))
  STANDIN_NOT_IMPLEMENTED(put_ToolTip(HSTRING))
  STANDIN_NOT_IMPLEMENTED(get_ContextMenuPlacement(abi::Boolean*))
  STANDIN_NOT_IMPLEMENTED(put_ContextMenuPlacement(abi::Boolean))
  STANDIN_NOT_IMPLEMENTED(get_ButtonStyle(abi::AppNotificationButtonStyle*))
  STANDIN_NOT_IMPLEMENTED(put_ButtonStyle(abi::AppNotificationButtonStyle))
  STANDIN_NOT_IMPLEMENTED(get_InputId(HSTRING*))
  STANDIN_NOT_IMPLEMENTED(put_InputId(HSTRING))
  STANDIN_NOT_IMPLEMENTED(get_InvokeUri(abi::IUriRuntimeClass**))
  STANDIN_NOT_IMPLEMENTED(put_InvokeUri(abi::IUriRuntimeClass*))
  STANDIN_NOT_IMPLEMENTED(get_TargetAppId(HSTRING*))
  STANDIN_NOT_IMPLEMENTED(put_TargetAppId(HSTRING))
  HRESULT STDMETHODCALLTYPE AddArgument(HSTRING key, HSTRING value, Self** result) override {
    if (HRESULT hr = Armed("AddArgument"); FAILED(hr)) return hr;
    if (In(key).empty()) return E_INVALIDARG;
    content.arguments.emplace_back(In(key), In(value));
    return ReturnSelf<Self>(this, result);
  }
  STANDIN_NOT_IMPLEMENTED(SetIcon(abi::IUriRuntimeClass*, Self**))
  STANDIN_NOT_IMPLEMENTED(SetToolTip(HSTRING, Self**))
  STANDIN_NOT_IMPLEMENTED(SetContextMenuPlacement(Self**))
  STANDIN_NOT_IMPLEMENTED(SetButtonStyle(abi::AppNotificationButtonStyle, Self**))
  STANDIN_NOT_IMPLEMENTED(SetInputId(HSTRING, Self**))
  STANDIN_NOT_IMPLEMENTED(SetInvokeUri(abi::IUriRuntimeClass*, Self**))
  STANDIN_NOT_IMPLEMENTED(SetInvokeUri2(abi::IUriRuntimeClass*, HSTRING, Self**))

  ButtonContent content;
};

class ButtonFactory final
    : public Object<abi::IActivationFactory, abi::IAppNotificationButtonFactory> {
 public:
  HRESULT STDMETHODCALLTYPE ActivateInstance(IInspectable** instance) override {
    return Give<IInspectable>(static_cast<abi::IAppNotificationButton*>(new Button(u"")), instance);
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(HSTRING content,
                                           abi::IAppNotificationButton** instance) override {
    if (HRESULT hr = Armed("Button"); FAILED(hr)) return hr;
    return Give<abi::IAppNotificationButton>(new Button(In(content)), instance);
  }
};

class ProgressBar final : public Object<abi::IAppNotificationProgressBar> {
 public:
  STANDIN_NOT_IMPLEMENTED(get_Title(HSTRING*))
  STANDIN_NOT_IMPLEMENTED(put_Title(HSTRING))
  STANDIN_NOT_IMPLEMENTED(get_Status(HSTRING*))
  STANDIN_NOT_IMPLEMENTED(put_Status(HSTRING))
  STANDIN_NOT_IMPLEMENTED(get_Value(DOUBLE*))
  STANDIN_NOT_IMPLEMENTED(put_Value(DOUBLE))
  STANDIN_NOT_IMPLEMENTED(get_ValueStringOverride(HSTRING*))
  STANDIN_NOT_IMPLEMENTED(put_ValueStringOverride(HSTRING))
  STANDIN_NOT_IMPLEMENTED(SetTitle(HSTRING, Self**))
  STANDIN_NOT_IMPLEMENTED(BindTitle(Self**))
  HRESULT STDMETHODCALLTYPE SetStatus(HSTRING value, Self** result) override {
    content.status = In(value);
    return ReturnSelf<Self>(this, result);
  }
  HRESULT STDMETHODCALLTYPE BindStatus(Self** result) override {
    content.status.reset();
    return ReturnSelf<Self>(this, result);
  }
  HRESULT STDMETHODCALLTYPE SetValue(DOUBLE value, Self** result) override {
    if (value < 0.0 || value > 1.0) return E_INVALIDARG;
    content.value = value;
    return ReturnSelf<Self>(this, result);
  }
  HRESULT STDMETHODCALLTYPE BindValue(Self** result) override {
    content.value.reset();
    return ReturnSelf<Self>(this, result);
  }
  STANDIN_NOT_IMPLEMENTED(SetValueStringOverride(HSTRING, Self**))
  STANDIN_NOT_IMPLEMENTED(BindValueStringOverride(Self**))

  BarContent content;
};

class ProgressBarFactory final : public Object<abi::IActivationFactory> {
 public:
  HRESULT STDMETHODCALLTYPE ActivateInstance(IInspectable** instance) override {
    if (HRESULT hr = Armed("ProgressBar"); FAILED(hr)) return hr;
    return Give<IInspectable>(static_cast<abi::IAppNotificationProgressBar*>(new ProgressBar()),
                              instance);
  }
};

class ProgressData final : public Object<abi::IAppNotificationProgressData> {
 public:
  explicit ProgressData(UINT32 sequence_number) { values.sequence_number = sequence_number; }
  HRESULT STDMETHODCALLTYPE get_SequenceNumber(UINT32* value) override {
    *value = values.sequence_number;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_SequenceNumber(UINT32 value) override {
    if (value == 0) return E_INVALIDARG;
    values.sequence_number = value;
    return S_OK;
  }
  STANDIN_NOT_IMPLEMENTED(get_Title(HSTRING*))
  STANDIN_NOT_IMPLEMENTED(put_Title(HSTRING))
  HRESULT STDMETHODCALLTYPE get_Value(DOUBLE* value) override {
    *value = values.value;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_Value(DOUBLE value) override {
    values.value = value;
    return S_OK;
  }
  STANDIN_NOT_IMPLEMENTED(get_ValueStringOverride(HSTRING*))
  STANDIN_NOT_IMPLEMENTED(put_ValueStringOverride(HSTRING))
  HRESULT STDMETHODCALLTYPE get_Status(HSTRING* value) override {
    return Out(values.status, value);
  }
  HRESULT STDMETHODCALLTYPE put_Status(HSTRING value) override {
    values.status = In(value);
    return S_OK;
  }

  ProgressValues values;
};

class ProgressDataFactory final
    : public Object<abi::IActivationFactory, abi::IAppNotificationProgressDataFactory> {
 public:
  STANDIN_NOT_IMPLEMENTED(ActivateInstance(IInspectable**))
  HRESULT STDMETHODCALLTYPE CreateInstance(UINT32 sequence_number,
                                           abi::IAppNotificationProgressData** instance) override {
    if (HRESULT hr = Armed("ProgressData"); FAILED(hr)) return hr;
    if (sequence_number == 0) return E_INVALIDARG;
    return Give<abi::IAppNotificationProgressData>(new ProgressData(sequence_number), instance);
  }
};

class Notification final : public Object<abi::IAppNotification> {
 public:
  explicit Notification(Content c) : content(std::move(c)) {}
  HRESULT STDMETHODCALLTYPE get_Tag(HSTRING* value) override {
    if (HRESULT hr = Armed("Tag"); FAILED(hr)) return hr;
    return Out(content.tag, value);
  }
  HRESULT STDMETHODCALLTYPE put_Tag(HSTRING value) override {
    content.tag = In(value);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Group(HSTRING* value) override { return Out(content.group, value); }
  HRESULT STDMETHODCALLTYPE put_Group(HSTRING value) override {
    content.group = In(value);
    return S_OK;
  }
  STANDIN_NOT_IMPLEMENTED(get_Id(UINT32*))
  HRESULT STDMETHODCALLTYPE get_Payload(HSTRING* value) override {
    return Out(content.payload, value);
  }
  HRESULT STDMETHODCALLTYPE get_Progress(abi::IAppNotificationProgressData** value) override {
    *value = progress.get();
    if (*value != nullptr) (*value)->AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_Progress(abi::IAppNotificationProgressData* value) override {
    progress = ComRef<abi::IAppNotificationProgressData>::Borrow(value);
    return S_OK;
  }
  STANDIN_NOT_IMPLEMENTED(get_Expiration(abi::DateTime*))
  STANDIN_NOT_IMPLEMENTED(put_Expiration(abi::DateTime))
  STANDIN_NOT_IMPLEMENTED(get_ExpiresOnReboot(abi::Boolean*))
  STANDIN_NOT_IMPLEMENTED(put_ExpiresOnReboot(abi::Boolean))
  STANDIN_NOT_IMPLEMENTED(get_Priority(abi::AppNotificationPriority*))
  STANDIN_NOT_IMPLEMENTED(put_Priority(abi::AppNotificationPriority))
  HRESULT STDMETHODCALLTYPE get_SuppressDisplay(abi::Boolean* value) override {
    *value = content.suppress_display ? 1 : 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_SuppressDisplay(abi::Boolean value) override {
    content.suppress_display = value != 0;
    return S_OK;
  }

  Content content;
  // Read when shown, as the SDK does: a later change to the data object is
  // not the notification's.
  ComRef<abi::IAppNotificationProgressData> progress;
};

class Builder final : public Object<abi::IAppNotificationBuilder> {
 public:
  STANDIN_NOT_IMPLEMENTED(AddArgument(HSTRING, HSTRING, Self**))
  STANDIN_NOT_IMPLEMENTED(SetTimeStamp(abi::DateTime, Self**))
  STANDIN_NOT_IMPLEMENTED(SetDuration(abi::AppNotificationDuration, Self**))
  STANDIN_NOT_IMPLEMENTED(SetScenario(abi::AppNotificationScenario, Self**))
  HRESULT STDMETHODCALLTYPE AddText(HSTRING text, Self** result) override {
    if (HRESULT hr = Armed("AddText"); FAILED(hr)) return hr;
    if (content_.texts.size() >= kMaxTexts) return E_INVALIDARG;
    content_.texts.push_back(In(text));
    return ReturnSelf<Self>(this, result);
  }
  STANDIN_NOT_IMPLEMENTED(AddText2(HSTRING, abi::IAppNotificationTextProperties*, Self**))
  HRESULT STDMETHODCALLTYPE SetAttributionText(HSTRING text, Self** result) override {
    content_.attribution = In(text);
    return ReturnSelf<Self>(this, result);
  }
  STANDIN_NOT_IMPLEMENTED(SetAttributionText2(HSTRING, HSTRING, Self**))
  STANDIN_NOT_IMPLEMENTED(SetInlineImage(Uri*, Self**))
  STANDIN_NOT_IMPLEMENTED(SetInlineImage2(Uri*, abi::AppNotificationImageCrop, Self**))
  STANDIN_NOT_IMPLEMENTED(SetInlineImage3(Uri*, abi::AppNotificationImageCrop, HSTRING, Self**))
  STANDIN_NOT_IMPLEMENTED(SetAppLogoOverride(Uri*, Self**))
  STANDIN_NOT_IMPLEMENTED(SetAppLogoOverride2(Uri*, abi::AppNotificationImageCrop, Self**))
  STANDIN_NOT_IMPLEMENTED(SetAppLogoOverride3(Uri*, abi::AppNotificationImageCrop, HSTRING, Self**))
  HRESULT STDMETHODCALLTYPE SetHeroImage(Uri* image, Self** result) override {
    if (image == nullptr) return E_POINTER;
    HSTRING address = nullptr;
    if (HRESULT hr = image->get_AbsoluteUri(&address); FAILED(hr)) return hr;
    content_.image = In(address);
    --g_strings_handed_out;  // its own string, back again
    ::WindowsDeleteString(address);
    return ReturnSelf<Self>(this, result);
  }
  STANDIN_NOT_IMPLEMENTED(SetHeroImage2(Uri*, HSTRING, Self**))
  STANDIN_NOT_IMPLEMENTED(SetAudioUri(Uri*, Self**))
  STANDIN_NOT_IMPLEMENTED(SetAudioUri2(Uri*, abi::AppNotificationAudioLooping, Self**))
  STANDIN_NOT_IMPLEMENTED(SetAudioEvent(abi::AppNotificationSoundEvent, Self**))
  STANDIN_NOT_IMPLEMENTED(SetAudioEvent2(abi::AppNotificationSoundEvent,
                                         abi::AppNotificationAudioLooping, Self**))
  STANDIN_NOT_IMPLEMENTED(MuteAudio(Self**))
  STANDIN_NOT_IMPLEMENTED(AddTextBox(HSTRING, Self**))
  STANDIN_NOT_IMPLEMENTED(AddTextBox2(HSTRING, HSTRING, HSTRING, Self**))
  HRESULT STDMETHODCALLTYPE AddButton(abi::IAppNotificationButton* button, Self** result) override {
    if (button == nullptr) return E_POINTER;
    // Every button here is this runtime's own.
    content_.buttons.push_back(static_cast<Button*>(button)->content);
    return ReturnSelf<Self>(this, result);
  }
  STANDIN_NOT_IMPLEMENTED(AddComboBox(abi::IAppNotificationComboBox*, Self**))
  HRESULT STDMETHODCALLTYPE AddProgressBar(abi::IAppNotificationProgressBar* bar,
                                           Self** result) override {
    if (bar == nullptr) return E_POINTER;
    content_.bars.push_back(static_cast<ProgressBar*>(bar)->content);
    return ReturnSelf<Self>(this, result);
  }
  HRESULT STDMETHODCALLTYPE BuildNotification(abi::IAppNotification** result) override {
    if (HRESULT hr = Armed("Build"); FAILED(hr)) return hr;
    Content built = content_;
    built.payload = ToastXml(built);
    if (built.payload.size() > kMaxPayloadCharacters) return E_FAIL;
    return Give<abi::IAppNotification>(new Notification(std::move(built)), result);
  }
  HRESULT STDMETHODCALLTYPE SetTag(HSTRING value, Self** result) override {
    content_.tag = In(value);
    return ReturnSelf<Self>(this, result);
  }
  HRESULT STDMETHODCALLTYPE SetGroup(HSTRING group, Self** result) override {
    content_.group = In(group);
    return ReturnSelf<Self>(this, result);
  }

 private:
  Content content_;
};

class BuilderFactory final : public Object<abi::IActivationFactory> {
 public:
  HRESULT STDMETHODCALLTYPE ActivateInstance(IInspectable** instance) override {
    if (HRESULT hr = Armed("Builder"); FAILED(hr)) return hr;
    return Give<IInspectable>(static_cast<abi::IAppNotificationBuilder*>(new Builder()), instance);
  }
};

// ---- Microsoft.Windows.AppNotifications ----

class ActivatedEventArgs final : public Object<abi::IAppNotificationActivatedEventArgs,
                                               abi::IAppNotificationActivatedEventArgs2> {
 public:
  explicit ActivatedEventArgs(Pairs arguments) : arguments_(std::move(arguments)) {}
  HRESULT STDMETHODCALLTYPE get_Argument(HSTRING* value) override {
    std::u16string joined;
    for (const auto& [k, v] : arguments_) joined += (joined.empty() ? u"" : u";") + k + u"=" + v;
    return Out(joined, value);
  }
  HRESULT STDMETHODCALLTYPE get_UserInput(abi::IMapStringString** value) override {
    return Give<abi::IMapStringString>(new StringMap({}), value);
  }
  HRESULT STDMETHODCALLTYPE get_Arguments(abi::IMapStringString** value) override {
    if (HRESULT hr = Armed("Arguments"); FAILED(hr)) return hr;
    return Give<abi::IMapStringString>(new StringMap(arguments_), value);
  }

 private:
  Pairs arguments_;
};

class NotificationVector final : public Object<abi::IVectorAppNotification> {
 public:
  explicit NotificationVector(std::vector<Content> items) : items_(std::move(items)) {}
  HRESULT STDMETHODCALLTYPE GetAt(UINT32 index, abi::IAppNotification** item) override {
    if (index >= items_.size()) return kBounds;
    return Give<abi::IAppNotification>(new Notification(items_[index]), item);
  }
  HRESULT STDMETHODCALLTYPE get_Size(UINT32* size) override {
    *size = static_cast<UINT32>(items_.size());
    return S_OK;
  }
  STANDIN_NOT_IMPLEMENTED(GetView(abi::IVectorViewAppNotification**))
  STANDIN_NOT_IMPLEMENTED(IndexOf(abi::IAppNotification*, UINT32*, abi::Boolean*))
  STANDIN_NOT_IMPLEMENTED(SetAt(UINT32, abi::IAppNotification*))
  STANDIN_NOT_IMPLEMENTED(InsertAt(UINT32, abi::IAppNotification*))
  STANDIN_NOT_IMPLEMENTED(RemoveAt(UINT32))
  STANDIN_NOT_IMPLEMENTED(Append(abi::IAppNotification*))
  STANDIN_NOT_IMPLEMENTED(RemoveAtEnd())
  STANDIN_NOT_IMPLEMENTED(Clear())
  STANDIN_NOT_IMPLEMENTED(GetMany(UINT32, UINT32, abi::IAppNotification**, UINT32*))
  STANDIN_NOT_IMPLEMENTED(ReplaceAll(UINT32, abi::IAppNotification**))

 private:
  std::vector<Content> items_;
};

// An operation that completes once, on a runtime thread or at once, and
// runs its completion handler then (or when given one afterwards).
template <class Interface, class Handler, class Result>
class AsyncOperation : public Object<Interface, abi::IAsyncInfo> {
 public:
  HRESULT STDMETHODCALLTYPE put_Completed(Handler* handler) override {
    ComRef<Handler> now;
    abi::AsyncStatus status;
    {
      activator::MutexLock hold(lock_);
      if (handler_) return kIllegalDelegateAssignment;
      handler_ = ComRef<Handler>::Borrow(handler);
      status = status_;
      if (status != abi::AsyncStatus::kStarted) now = handler_;
    }
    // Already complete: the handler runs at once, on the caller's thread.
    if (now) now->Invoke(this, status);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Completed(Handler** handler) override {
    activator::MutexLock hold(lock_);
    *handler = handler_.get();
    if (*handler != nullptr) (*handler)->AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Id(UINT32* id) override {
    *id = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Status(abi::AsyncStatus* status) override {
    activator::MutexLock hold(lock_);
    *status = status_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_ErrorCode(HRESULT* error) override {
    activator::MutexLock hold(lock_);
    *error = error_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Cancel() override {
    Complete(abi::AsyncStatus::kCanceled, {}, S_OK);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Close() override { return S_OK; }

  void Complete(abi::AsyncStatus status, Result results, HRESULT error) {
    ComRef<Handler> handler;
    {
      activator::MutexLock hold(lock_);
      if (status_ != abi::AsyncStatus::kStarted) return;
      status_ = status;
      results_ = std::move(results);
      error_ = error;
      handler = handler_;
    }
    if (handler) handler->Invoke(this, status);
  }

 protected:
  // What GetResults gives: the results once completed, else a failure.
  HRESULT Results(Result* out) {
    activator::MutexLock hold(lock_);
    if (status_ != abi::AsyncStatus::kCompleted) return kIllegalMethodCall;
    *out = results_;
    return S_OK;
  }

 private:
  activator::Mutex lock_;
  ComRef<Handler> handler_ GUARDED_BY(lock_);
  abi::AsyncStatus status_ GUARDED_BY(lock_) = abi::AsyncStatus::kStarted;
  Result results_ GUARDED_BY(lock_){};
  HRESULT error_ GUARDED_BY(lock_) = S_OK;
};

class ListingOperation final
    : public AsyncOperation<abi::IAsyncOperationVectorAppNotification,
                            abi::IAsyncOperationCompletedHandlerVectorAppNotification,
                            std::vector<Content>> {
 public:
  HRESULT STDMETHODCALLTYPE GetResults(abi::IVectorAppNotification** results) override {
    std::vector<Content> items;
    if (HRESULT hr = Results(&items); FAILED(hr)) return hr;
    return Give<abi::IVectorAppNotification>(new NotificationVector(std::move(items)), results);
  }
};

class ProgressUpdateOperation final
    : public AsyncOperation<abi::IAsyncOperationProgressResult,
                            abi::IAsyncOperationCompletedHandlerProgressResult,
                            abi::AppNotificationProgressResult> {
 public:
  HRESULT STDMETHODCALLTYPE GetResults(abi::AppNotificationProgressResult* result) override {
    return Results(result);
  }
};

// Work on runtime threads that has not ended yet, what it captured released
// included. A thread that completes an operation lets the caller's wait end
// while it still holds the operation for a moment: "live" waits for this to
// reach 0 before it counts.
std::atomic<int> g_work_in_flight{0};

// Runs `work` on a thread of the stand-in's own, as the runtime would; with
// `wait`, returns when it has run. Work that never ends (a server) is not
// `counted` in g_work_in_flight.
void OnRuntimeThread(std::function<void()> work, bool wait, bool counted = true) {
  struct Task {
    std::function<void()> body;
    bool counted;
  };
  auto* owned = new Task{std::move(work), counted};
  if (counted) ++g_work_in_flight;
  const uintptr_t thread = ::_beginthreadex(
      nullptr, 0,
      [](void* argument) -> unsigned {
        auto task = std::unique_ptr<Task>(static_cast<Task*>(argument));
        task->body();
        const bool counted = task->counted;
        task.reset();
        if (counted) --g_work_in_flight;
        return 0;
      },
      owned, 0, nullptr);
  if (thread == 0) {
    if (counted) --g_work_in_flight;
    delete owned;
    return;
  }
  if (wait) ::WaitForSingleObject(reinterpret_cast<HANDLE>(thread), 60000);
  ::CloseHandle(reinterpret_cast<HANDLE>(thread));
}

// What the SDK keeps in the user's registry for an unpackaged program
// (AppNotificationUtility.cpp): its manager's constructor files a
// notification GUID under a key named after the program's path, Register
// files the program's assets under that GUID, and UnregisterAll deletes only
// the latter.
constexpr wchar_t kAppIdRoot[] = L"Software\\Classes\\AppUserModelId\\";
constexpr wchar_t kNotificationGuid[] = L"{5C2B8F1E-3D4A-4E6B-9A7C-1F0D2E3B4A5C}";

void SetRegistryString(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
  HKEY opened = nullptr;
  if (::RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &opened, nullptr) != ERROR_SUCCESS)
    return;
  ::RegSetValueExW(opened, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  ::RegCloseKey(opened);
}

void FileNotificationGuid() {
  wchar_t path[MAX_PATH] = {};
  if (::GetModuleFileNameW(nullptr, path, MAX_PATH) == 0) return;
  std::wstring key(path);
  std::replace(key.begin(), key.end(), L'\\', L'.');
  SetRegistryString(kAppIdRoot + key, L"NotificationGUID", kNotificationGuid);
}

std::string Key(const Content& c) {
  return activator::Utf16ToUtf8(c.tag) + "|" + activator::Utf16ToUtf8(c.group);
}

std::string Percent(double value) { return std::to_string(std::lround(value * 100)); }

// Replaces the progress data of the notification shown with `tag` and
// `group`, unless what it shows is newer.
abi::AppNotificationProgressResult Update(const std::u16string& tag, const std::u16string& group,
                                          const ProgressValues& values) {
  Centre& centre = TheCentre();
  activator::MutexLock hold(centre.lock);
  const auto it = std::find_if(centre.shown.begin(), centre.shown.end(),
                               [&](const Content& c) { return c.tag == tag && c.group == group; });
  if (it == centre.shown.end()) {
    centre.events.push_back("notfound " + activator::Utf16ToUtf8(tag) + "|" +
                            activator::Utf16ToUtf8(group));
    return abi::kProgressAppNotificationNotFound;
  }
  const bool stale = it->progress && it->progress->sequence_number > values.sequence_number;
  if (!stale) it->progress = values;
  centre.events.push_back((stale ? "stale " : "update ") + Key(*it) + " " + Percent(values.value));
  return abi::kProgressSucceeded;
}

class Manager final : public Object<abi::IAppNotificationManager> {
 public:
  HRESULT STDMETHODCALLTYPE Register() override {
    if (Elevated()) return S_OK;
    if (HRESULT hr = Armed("Register"); FAILED(hr)) return hr;
    SetRegistryString(std::wstring(kAppIdRoot) + kNotificationGuid, L"DisplayName", L"activator");
    g_click_wait_made = true;
    Centre& centre = TheCentre();
    activator::MutexLock hold(centre.lock);
    ++centre.registrations;
    return S_OK;
  }
  STANDIN_NOT_IMPLEMENTED(Unregister())
  HRESULT STDMETHODCALLTYPE UnregisterAll() override {
    if (Elevated()) return S_OK;
    if (HRESULT hr = Armed("UnregisterAll"); FAILED(hr)) return hr;
    ::RegDeleteKeyW(HKEY_CURRENT_USER, (std::wstring(kAppIdRoot) + kNotificationGuid).c_str());
    Centre& centre = TheCentre();
    activator::MutexLock hold(centre.lock);
    ++centre.unregistrations;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE add_NotificationInvoked(abi::INotificationInvokedHandler* handler,
                                                    abi::EventRegistrationToken* token) override {
    if (HRESULT hr = Armed("Subscribe"); FAILED(hr)) return hr;
    if (handler == nullptr || token == nullptr) return E_POINTER;
    if (Elevated()) {
      token->value = 0;
      return S_OK;
    }
    Centre& centre = TheCentre();
    activator::MutexLock hold(centre.lock);
    centre.handlers.push_back(ComRef<abi::INotificationInvokedHandler>::Borrow(handler));
    token->value = centre.next_token++;
    return S_OK;
  }
  STANDIN_NOT_IMPLEMENTED(remove_NotificationInvoked(abi::EventRegistrationToken))
  HRESULT STDMETHODCALLTYPE Show(abi::IAppNotification* notification) override {
    if (Elevated()) return S_OK;
    if (HRESULT hr = Armed("Show"); FAILED(hr)) return hr;
    if (notification == nullptr) return E_POINTER;
    const auto* shown = static_cast<Notification*>(notification);
    Content content = shown->content;
    if (content.tag.size() > kMaxTagUnits) return E_INVALIDARG;
    if (shown->progress)
      content.progress = static_cast<ProgressData*>(shown->progress.get())->values;
    Centre& centre = TheCentre();
    activator::MutexLock hold(centre.lock);
    // A later notification with the same tag and group replaces the earlier.
    std::erase_if(centre.shown, [&](const Content& c) {
      return c.tag == content.tag && c.group == content.group;
    });
    centre.events.push_back((content.suppress_display ? "quiet " : "banner ") + Key(content));
    centre.shown.push_back(std::move(content));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE UpdateAsync(abi::IAppNotificationProgressData* data, HSTRING tag,
                                        HSTRING group,
                                        abi::IAsyncOperationProgressResult** operation) override {
    if (HRESULT hr = Armed("UpdateAsync"); FAILED(hr)) return hr;
    if (data == nullptr || operation == nullptr) return E_POINTER;
    auto update = ComRef<ProgressUpdateOperation>::Adopt(new ProgressUpdateOperation());
    *operation = update.get();
    (*operation)->AddRef();
    // The SDK's checks come before its first suspension: they fail the
    // operation, not the call.
    const ProgressValues values = static_cast<ProgressData*>(data)->values;
    if (Elevated()) {
      update->Complete(abi::AsyncStatus::kCompleted, abi::kProgressUnsupported, S_OK);
      return S_OK;
    }
    if (In(tag).empty() || values.sequence_number == 0) {
      update->Complete(abi::AsyncStatus::kError, {}, E_INVALIDARG);
      return S_OK;
    }
    const HRESULT error = Armed("UpdateError");
    if (FAILED(Armed("UpdateHang"))) return S_OK;  // never completes unless cancelled
    OnRuntimeThread(
        [update, values, tag = In(tag), group = In(group), error] {
          if (FAILED(error)) {
            update->Complete(abi::AsyncStatus::kError, {}, error);
            return;
          }
          update->Complete(abi::AsyncStatus::kCompleted, Update(tag, group, values), S_OK);
        },
        false);
    return S_OK;
  }
  STANDIN_NOT_IMPLEMENTED(UpdateAsync2(abi::IAppNotificationProgressData*, HSTRING,
                                       abi::IAsyncOperationProgressResult**))
  STANDIN_NOT_IMPLEMENTED(get_Setting(abi::AppNotificationSetting*))
  STANDIN_NOT_IMPLEMENTED(RemoveByIdAsync(UINT32, abi::IAsyncAction**))
  STANDIN_NOT_IMPLEMENTED(RemoveByTagAsync(HSTRING, abi::IAsyncAction**))
  STANDIN_NOT_IMPLEMENTED(RemoveByTagAndGroupAsync(HSTRING, HSTRING, abi::IAsyncAction**))
  STANDIN_NOT_IMPLEMENTED(RemoveByGroupAsync(HSTRING, abi::IAsyncAction**))
  STANDIN_NOT_IMPLEMENTED(RemoveAllAsync(abi::IAsyncAction**))
  HRESULT STDMETHODCALLTYPE
  GetAllAsync(abi::IAsyncOperationVectorAppNotification** operation) override {
    if (HRESULT hr = Armed("GetAllAsync"); FAILED(hr)) return hr;
    auto listing = ComRef<ListingOperation>::Adopt(new ListingOperation());
    std::vector<Content> snapshot;
    if (!Elevated()) {
      Centre& centre = TheCentre();
      activator::MutexLock hold(centre.lock);
      snapshot = centre.shown;
    }
    const HRESULT error = Armed("ListingError");
    const bool cancel = FAILED(Armed("ListingCancel"));
    if (FAILED(Armed("ListingHang"))) {
      // Never completes unless cancelled.
    } else {
      OnRuntimeThread(
          [listing, snapshot = std::move(snapshot), error, cancel]() mutable {
            if (FAILED(error)) {
              listing->Complete(abi::AsyncStatus::kError, {}, error);
            } else if (cancel) {
              listing->Complete(abi::AsyncStatus::kCanceled, {}, S_OK);
            } else {
              listing->Complete(abi::AsyncStatus::kCompleted, std::move(snapshot), S_OK);
            }
          },
          false);
    }
    *operation = listing.get();
    (*operation)->AddRef();
    return S_OK;
  }
};

class ManagerStatics final
    : public Object<abi::IActivationFactory, abi::IAppNotificationManagerStatics,
                    abi::IAppNotificationManagerStatics2> {
 public:
  STANDIN_NOT_IMPLEMENTED(ActivateInstance(IInspectable**))
  HRESULT STDMETHODCALLTYPE get_Default(abi::IAppNotificationManager** value) override {
    if (HRESULT hr = Armed("Default"); FAILED(hr)) return hr;
    FileNotificationGuid();
    return Give<abi::IAppNotificationManager>(new Manager(), value);
  }
  HRESULT STDMETHODCALLTYPE IsSupported(abi::Boolean* result) override {
    if (result == nullptr) return E_POINTER;
    *result = Elevated() ? 0 : 1;
    return S_OK;
  }
};

// ---- Microsoft.Windows.AppLifecycle ----

// The click a process started by one waits for: handed over by the test.
struct LaunchClick {
  activator::Mutex lock;
  Pairs arguments GUARDED_BY(lock);
  bool given GUARDED_BY(lock) = false;
  int timeouts GUARDED_BY(lock) = 0;  // calls that gave up waiting
  HANDLE arrived = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
};

// The SDK's wait for the launching click.
constexpr DWORD kLaunchClickWaitMs = 2000;
// What a fail-fast leaves as the process's exit status (STATUS_STACK_BUFFER_OVERRUN).
constexpr UINT kFailFastStatus = 0xC0000409;

LaunchClick& TheLaunchClick() {
  static LaunchClick* click = new LaunchClick();
  return *click;
}

bool StartedByClick() {
  return std::wstring_view(::GetCommandLineW()).find(L"----AppNotificationActivated:") !=
         std::wstring_view::npos;
}

class ActivationArguments final : public Object<abi::IAppActivationArguments> {
 public:
  ActivationArguments(abi::ExtendedActivationKind kind, ComRef<IInspectable> data)
      : kind_(kind), data_(std::move(data)) {}
  HRESULT STDMETHODCALLTYPE get_Kind(abi::ExtendedActivationKind* value) override {
    *value = kind_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Data(IInspectable** value) override {
    *value = data_.get();
    if (*value != nullptr) (*value)->AddRef();
    return S_OK;
  }

 private:
  abi::ExtendedActivationKind kind_;
  ComRef<IInspectable> data_;
};

class AppInstance final : public Object<abi::IAppInstance> {
 public:
  STANDIN_NOT_IMPLEMENTED(UnregisterKey())
  STANDIN_NOT_IMPLEMENTED(RedirectActivationToAsync(abi::IAppActivationArguments*,
                                                    abi::IAsyncAction**))
  HRESULT STDMETHODCALLTYPE GetActivatedEventArgs(abi::IAppActivationArguments** result) override {
    if (HRESULT hr = Armed("GetActivatedEventArgs"); FAILED(hr)) return hr;
    if (!StartedByClick()) {  // a plain launch
      return Give<abi::IAppActivationArguments>(new ActivationArguments(0, {}), result);
    }
    if (!g_click_wait_made) ::TerminateProcess(::GetCurrentProcess(), kFailFastStatus);
    LaunchClick& click = TheLaunchClick();
    const bool arrived = ::WaitForSingleObject(click.arrived, kLaunchClickWaitMs) == WAIT_OBJECT_0;
    Pairs arguments;
    {
      activator::MutexLock hold(click.lock);
      if (!arrived) {
        ++click.timeouts;
        return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
      }
      arguments = click.arguments;
    }
    auto data = ComRef<IInspectable>::Adopt(
        static_cast<abi::IAppNotificationActivatedEventArgs*>(new ActivatedEventArgs(arguments)));
    return Give<abi::IAppActivationArguments>(
        new ActivationArguments(abi::kActivationKindAppNotification, std::move(data)), result);
  }
  STANDIN_NOT_IMPLEMENTED(add_Activated(abi::IEventHandlerAppActivationArguments*,
                                        abi::EventRegistrationToken*))
  STANDIN_NOT_IMPLEMENTED(remove_Activated(abi::EventRegistrationToken))
  STANDIN_NOT_IMPLEMENTED(get_Key(HSTRING*))
  STANDIN_NOT_IMPLEMENTED(get_IsCurrent(abi::Boolean*))
  STANDIN_NOT_IMPLEMENTED(get_ProcessId(UINT32*))
};

class AppInstanceStatics final : public Object<abi::IActivationFactory, abi::IAppInstanceStatics> {
 public:
  STANDIN_NOT_IMPLEMENTED(ActivateInstance(IInspectable**))
  HRESULT STDMETHODCALLTYPE GetCurrent(abi::IAppInstance** result) override {
    return Give<abi::IAppInstance>(new AppInstance(), result);
  }
  STANDIN_NOT_IMPLEMENTED(GetInstances(abi::IVectorAppInstance**))
  STANDIN_NOT_IMPLEMENTED(FindOrRegisterForKey(HSTRING, abi::IAppInstance**))
};

// ---- control ----

std::string Utf8(const std::u16string& text) { return activator::Utf16ToUtf8(text); }
std::u16string Utf16(const std::string& text) { return activator::Utf8ToUtf16(text); }

// A shown notification as one line: tag, group, image, texts, then what the
// centre shows of each progress bar ("progress=<status>:<per cent>") and the
// attribution text, when it has them, and the buttons.
std::string Describe(const Content& c) {
  std::string line = Utf8(c.tag) + "|" + Utf8(c.group) + "|" + Utf8(c.image);
  for (const auto& text : c.texts) line += "|" + Utf8(text);
  for (const auto& bar : c.bars) {
    const std::u16string status = bar.status ? *bar.status : c.progress ? c.progress->status : u"";
    const double value = bar.value ? *bar.value : c.progress ? c.progress->value : 0.0;
    line += "|progress=" + Utf8(status) + ":" + Percent(value);
  }
  if (!c.attribution.empty()) line += "|attribution=" + Utf8(c.attribution);
  for (const auto& button : c.buttons) {
    line += "|[" + Utf8(button.caption) + "]";
    std::string arguments;
    for (const auto& [k, v] : button.arguments) {
      arguments += (arguments.empty() ? "" : "&") + Utf8(k) + "=" + Utf8(v);
    }
    line += arguments;
  }
  return line;
}

// Runs every subscribed handler on a runtime thread with `arguments`, as a
// click does; returns how many ran.
int Click(const Pairs& arguments) {
  std::vector<ComRef<abi::INotificationInvokedHandler>> handlers;
  {
    Centre& centre = TheCentre();
    activator::MutexLock hold(centre.lock);
    handlers = centre.handlers;
  }
  OnRuntimeThread(
      [&] {
        for (const auto& handler : handlers) {
          auto sender = ComRef<abi::IAppNotificationManager>::Adopt(new Manager());
          auto args = ComRef<abi::IAppNotificationActivatedEventArgs>::Adopt(
              new ActivatedEventArgs(arguments));
          handler->Invoke(sender.get(), args.get());
        }
      },
      true);
  return static_cast<int>(handlers.size());
}

// "k=v&k=v" as the arguments of a click.
Pairs ParsePairs(const std::string& text) {
  Pairs arguments;
  std::istringstream fields(text);
  for (std::string field; std::getline(fields, field, '&');) {
    const auto eq = field.find('=');
    arguments.emplace_back(Utf16(field.substr(0, eq)),
                           Utf16(eq == std::string::npos ? "" : field.substr(eq + 1)));
  }
  return arguments;
}

std::string Run(const std::string& command) {
  std::istringstream in(command);
  std::string verb;
  in >> verb;
  Centre& centre = TheCentre();
  if (verb == "reset") {
    std::vector<ComRef<abi::INotificationInvokedHandler>> dropped;
    activator::MutexLock hold(centre.lock);
    centre.shown.clear();
    centre.events.clear();
    dropped.swap(centre.handlers);
    centre.failures.clear();
    centre.registrations = 0;
    centre.unregistrations = 0;
    return "ok";
  }
  if (verb == "fail") {  // fail <operation> <result code in hex>
    std::string operation, code;
    in >> operation >> code;
    activator::MutexLock hold(centre.lock);
    centre.failures[operation] = static_cast<HRESULT>(std::strtoul(code.c_str(), nullptr, 16));
    return "ok";
  }
  if (verb == "list") {
    activator::MutexLock hold(centre.lock);
    std::string out;
    for (const Content& c : centre.shown) out += Describe(c) + "\n";
    return out;
  }
  if (verb == "events") {
    activator::MutexLock hold(centre.lock);
    std::string out;
    for (const std::string& event : centre.events) out += event + "\n";
    return out;
  }
  if (verb == "count") {
    activator::MutexLock hold(centre.lock);
    return std::to_string(centre.shown.size());
  }
  if (verb == "dismiss") {  // dismiss <tag>
    std::string tag;
    in >> tag;
    activator::MutexLock hold(centre.lock);
    std::erase_if(centre.shown, [&](const Content& c) { return Utf8(c.tag) == tag; });
    return "ok";
  }
  if (verb == "click") {  // click <tag>: the first button of that notification
    std::string tag;
    in >> tag;
    Pairs arguments;
    {
      activator::MutexLock hold(centre.lock);
      auto it = std::find_if(centre.shown.begin(), centre.shown.end(),
                             [&](const Content& c) { return Utf8(c.tag) == tag; });
      if (it == centre.shown.end() || it->buttons.empty()) return "no such notification";
      arguments = DecodeArguments(EncodeArguments(it->buttons.front().arguments));
    }
    return "clicked " + std::to_string(Click(arguments));
  }
  if (verb == "click-with") {  // click-with k=v&k=v: arguments of no shown button
    std::string text;
    std::getline(in >> std::ws, text);
    return "clicked " + std::to_string(Click(ParsePairs(text)));
  }
  if (verb == "launch-click") {  // launch-click k=v&k=v: the click that started the process
    std::string text;
    std::getline(in >> std::ws, text);
    LaunchClick& click = TheLaunchClick();
    {
      activator::MutexLock hold(click.lock);
      if (click.given) return "already given";
      click.given = true;
      click.arguments = ParsePairs(text);
    }
    ::SetEvent(click.arrived);
    return "ok";
  }
  if (verb == "launch-timeouts") {
    LaunchClick& click = TheLaunchClick();
    activator::MutexLock hold(click.lock);
    return std::to_string(click.timeouts);
  }
  if (verb == "unregistrations") {
    activator::MutexLock hold(centre.lock);
    return std::to_string(centre.unregistrations);
  }
  if (verb == "handlers") {
    activator::MutexLock hold(centre.lock);
    return std::to_string(centre.handlers.size());
  }
  if (verb == "registrations") {
    activator::MutexLock hold(centre.lock);
    return std::to_string(centre.registrations);
  }
  if (verb == "live") {
    for (int i = 0; i < 1000 && g_work_in_flight.load() != 0; ++i) ::Sleep(10);
    return std::to_string(LiveObjects().load());
  }
  if (verb == "count-strings") return CountProgramStrings() ? "ok" : "failed";
  if (verb == "strings") {
    return std::to_string(ProgramStringBalance() + g_strings_handed_out.load());
  }
  return "unknown command";
}

// Serves STANDIN_CONTROL_PIPE, one command per connection, for ever.
void ServeControlPipe(std::string name) {
  for (;;) {
    activator::UniqueHandle pipe(::CreateNamedPipeA(
        name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1,
        1 << 16, 1 << 16, 0, nullptr));
    if (!pipe) return;
    if (::ConnectNamedPipe(pipe.get(), nullptr) || ::GetLastError() == ERROR_PIPE_CONNECTED) {
      char buffer[4096];
      DWORD read = 0;
      if (::ReadFile(pipe.get(), buffer, sizeof buffer, &read, nullptr)) {
        const std::string reply = Run(std::string(buffer, read));
        DWORD written = 0;
        ::WriteFile(pipe.get(), reply.data(), static_cast<DWORD>(reply.size()), &written, nullptr);
        ::FlushFileBuffers(pipe.get());
      }
      ::DisconnectNamedPipe(pipe.get());
    }
  }
}

void StartControlPipeOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    char name[512];
    const DWORD length = ::GetEnvironmentVariableA("STANDIN_CONTROL_PIPE", name, sizeof name);
    if (length == 0 || length >= sizeof name) return;
    OnRuntimeThread([pipe = std::string(name, length)] { ServeControlPipe(pipe); }, false, false);
  });
}

}  // namespace
}  // namespace standin

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE
    DllGetActivationFactory(HSTRING class_id, standin::abi::IActivationFactory** factory) {
  using namespace standin;
  if (factory == nullptr) return E_POINTER;
  *factory = nullptr;
  StartControlPipeOnce();
  const std::u16string name = In(class_id);
  auto is = [&](const wchar_t* class_name) {
    return name == reinterpret_cast<const char16_t*>(class_name);
  };
  if (is(abi::kAppNotificationManagerClass)) *factory = new ManagerStatics();
  if (is(abi::kAppNotificationBuilderClass)) *factory = new BuilderFactory();
  if (is(abi::kAppNotificationButtonClass)) *factory = new ButtonFactory();
  if (is(abi::kAppNotificationProgressBarClass)) *factory = new ProgressBarFactory();
  if (is(abi::kAppNotificationProgressDataClass)) *factory = new ProgressDataFactory();
  if (is(abi::kUriClass)) *factory = new UriFactory();
  if (is(abi::kAppInstanceClass)) *factory = new AppInstanceStatics();
  if (is(kXmlDocumentClass)) *factory = new XmlDocumentFactory();
  return *factory != nullptr ? S_OK : CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllCanUnloadNow() { return S_FALSE; }

extern "C" __declspec(dllexport) int StandinCommand(const char* command, char* reply,
                                                    int capacity) {
  const std::string out = standin::Run(command);
  const int length = static_cast<int>(std::min<std::size_t>(out.size(), capacity - 1));
  std::memcpy(reply, out.data(), length);
  reply[length] = '\0';
  return length;
}
