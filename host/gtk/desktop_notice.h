#pragma once
// A word to the player outside the window: the freedesktop notification
// service on the session bus, reached through GIO. No registered
// application id is needed, and a desktop without the service loses only
// the word.
#include "bridge/log.h"
#include "host/common/job_watch.h"

namespace tarn {

// Asks the notification service to show notice, without waiting for it.
// Call on the main loop, which carries the answer; a missing bus or
// service is logged, never shown.
void ShowDesktopNotice(Log& log, const DesktopNotice& notice);

}  // namespace tarn
