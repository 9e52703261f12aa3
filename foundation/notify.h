// Process-wide notification centre.
//
// One part of the engine announces an event by name ("PrefsChanged",
// "scans_changed", "WorkspaceChanged", "EngineQuitting",
// "kDeviceListDeviceAddedEvent", "kDeviceListDeviceRemovedEvent"); others
// register callbacks for that name without knowing the poster. Delivery is
// synchronous on the posting thread, in registration order, and no lock is
// held while a callback runs, so a callback may post other names, add or
// remove observers.
//
// Names get ids from 1 upwards in the order they are first seen (by posting,
// registering or removing); names are never forgotten.
//
// Implementation notes:
// - The argument is pointer-sized: "WorkspaceChanged" carries the new
//   workspace object and "kDeviceListDeviceRemovedEvent" the address of the
//   removed device's path text, which must survive a 64-bit build intact.
// - A post of a name that this same thread is already delivering (a callback
//   posting its own name) is dropped, so delivery never recurses. A post from
//   another thread while the name is being delivered is not lost: it is queued
//   and the delivering thread delivers it again once the current round ends
//   (equal pending arguments are merged into one delivery). Such a poster
//   therefore returns before its observers ran.
// - An observer added during a delivery is not called by that round.
// - Once notification_remove_observer returns, the observer is never called
//   again; if another thread is inside that very callback, removal waits for
//   it to return. Removal from inside the observer's own callback does not
//   wait. Do not remove an observer while holding a lock its callback takes.
// - A callback that throws is logged and the delivery goes on.
#pragma once

#include <cstdint>

// fn(name as posted, argument, context given at registration)
typedef void (*notification_callback)(const char *name, std::uintptr_t argument, void *context);

// Registers (name, callback, context). An equal triple already registered is
// not added again; a NULL name or callback is ignored.
void notification_add_observer(const char *name, notification_callback callback, void *context);

// Removes the triple if registered (NULL name or unknown triple: nothing).
// Returns only when no other thread is still running that callback for it.
void notification_remove_observer(const char *name, notification_callback callback, void *context);

// Delivers the notification to the name's observers; a NULL name does nothing.
void notification_post(const char *name, std::uintptr_t argument);
