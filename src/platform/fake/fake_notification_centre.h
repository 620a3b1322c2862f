// The in-memory notification centre: the app-notification seam as the tests
// link it, and the controls a test uses to look into it and steer it.
//
// There is one centre per process. AppNotificationManager::Default() always
// gives a manager bound to it. Every function here is safe from any thread;
// handlers are never called while the centre's lock is held.
//
// Texts handed out by these functions are UTF-8 (the seam's UTF-16 converted);
// texts taken in are UTF-8 as well, except the raw argument map of
// InvokeWithArguments.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/app_notifications.h"

namespace activator::fake {

// Each seam operation that can be made to fail.
enum class Operation {
  CreateBuilder,  // AppNotificationBuilder()
  CreateUri,      // Uri(address)
  CreateButton,   // AppNotificationButton(caption)
  SetHeroImage,
  SetTag,
  SetGroup,
  AddText,
  AddButton,
  AddArgument,  // on a button
  BuildNotification,
  Show,
  GetAllAsync,  // starting a listing
  ListingGet,   // waiting for a listing's result
  Tag,          // AppNotification::Tag
  Group,        // AppNotification::Group
  Register,
  Default,    // AppNotificationManager::Default
  Subscribe,  // NotificationInvoked
  Arguments,  // AppNotificationActivatedEventArgs::Arguments
  UpdateProgress,
};

struct ShownButton {
  std::string caption;
  std::vector<std::pair<std::string, std::string>> arguments;  // in the order added
};

struct ShownNotification {
  std::string tag;
  std::string group;
  std::vector<std::string> texts;  // in the order added
  std::string image;               // the hero image's address, empty when none
  std::vector<ShownButton> buttons;
  bool progress_bar = false;
  std::optional<double> progress;  // the value its bar shows now, 0 to 1
  std::string attribution;         // empty when none
  // Shown without a banner: its last show replaced it quietly.
  bool suppress_display = false;
};

// Empties the centre and clears the record, armed failures, subscribed
// handlers (of clicks and closings), held listings and the listing wait cap.
void Reset();

// Every successful call that builds or changes something, in call order, as
// one text each:
//   "SetHeroImage <address>", "SetTag <tag>", "SetGroup <group>",
//   "AddText <text>", "AddArgument <key>=<value>" (on a button, when called),
//   "AddButton <caption>", "AddProgressBar", "SetAttributionText <text>",
//   "BuildNotification", "Show <tag>|<group>" (with a banner),
//   "ShowQuietly <tag>|<group>" (display suppressed),
//   "UpdateProgress <tag>|<group> <value in per cent>" (when one was there to
//   update), "Subscribe", "Register".
// Calls that were made to fail are not recorded; neither are creations,
// listings and reads of tags, groups or arguments.
std::vector<std::string> Record();

// The notifications in the centre, in show order. Showing a notification with
// the tag and group of one already there removes the earlier one and puts the
// new one at the end, as the newest.
std::vector<ShownNotification> Shown();
std::size_t Count();
std::optional<ShownNotification> Find(const std::string& tag, const std::string& group);

// The user closes a notification: every handler subscribed to closings runs
// on the calling thread, before this returns. Returns false, calling nobody,
// when none has that tag and group.
bool Dismiss(const std::string& tag, const std::string& group);

// Places a notification with only a tag and a group, as another part of the
// application might (replacing one with the same tag and group).
void ForeignNotification(const std::string& tag, const std::string& group);

// The user clicks button `button_index` of the notification with this tag and
// group: every subscribed handler runs on the calling thread, before this
// returns, with the default manager as sender and that button's arguments
// (a key added twice keeps its last value). Returns false, calling nobody,
// when there is no such notification or button. What a handler raises
// reaches the caller.
bool InvokeButton(const std::string& tag, const std::string& group, std::size_t button_index = 0);

// A click that carries exactly these arguments (for example none, as a click
// on a notification's body brings).
void InvokeWithArguments(std::map<std::u16string, std::u16string> arguments);

// The next `times` calls of `op`, after `after` calls that still succeed,
// raise HResultError(code). Arming an operation again replaces what was armed.
void FailOperation(Operation op, HResult code, int times = 1, int after = 0);
// The same with an error that is not an HResultError (std::runtime_error).
void FailOperationWithOtherError(Operation op, int times = 1, int after = 0);

// While held, waiting for a listing's result lasts the caller's whole limit
// (or the cap, when shorter) and then raises HResultError(kHrTimeout). A
// listing still waiting when the hold is lifted completes normally.
void HoldListings(bool held);
// Bounds every wait on a held listing, so that a test need not wait the full
// kListingTimeLimit. Reset() removes the cap.
void SetListingWaitCap(std::chrono::milliseconds cap);
// How many callers are waiting on a held listing right now.
std::size_t WaitingListings();
// Waits (up to `timeout`) until at least `count` callers wait on a held
// listing.
bool WaitForWaitingListings(std::size_t count, std::chrono::milliseconds timeout);

// While down, every Show raises HResultError(kHrNotConnected), as when no
// notification service runs, and WaitForService waits until it is up again
// (or its limit passes). Reset() brings it up.
void SetServiceDown(bool down);
// The order the manager reports (AppNotificationManager::DrawOrder) until
// Reset().
void SetDrawOrder(const CentreOrder& order);
CentreOrder DrawOrder();

// How many invocation handlers are subscribed.
std::size_t HandlerCount();

}  // namespace activator::fake
