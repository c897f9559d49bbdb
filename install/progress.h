#pragma once
// The "install" Event: a snapshot of the install state for the page.

namespace tarn {

// Takes InstallLock, builds the Event, releases the lock and posts it.
// Callers must not hold InstallLock.
void PostInstallEvent();

}  // namespace tarn
