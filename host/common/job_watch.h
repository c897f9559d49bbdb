#pragma once
// What the desktop shows of a long job outside the window: the taskbar's
// progress while it runs and, once it ends, a word for a player who looks
// elsewhere. The core says when an install or an update begins and ends
// (HostSlots::job); how it went is read from the very Events the page got
// in between, so the desktop never tells the player other than the page.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "bridge/host_slots.h"
#include "bridge/log.h"

namespace tarn {

// One desktop notification: a short line and, for a failure, the reason.
struct DesktopNotice {
  std::string summary;
  std::string body;
};

// The state one host keeps on its window thread.
struct JobWatch {
  struct Open {
    int count = 0;  // a second update asked for meanwhile begins and ends inside the first
    std::optional<DesktopNotice> outcome;
  };
  Open install;
  Open update;
  // The taskbar's percent while a job runs; nullopt: no bar.
  std::optional<uint32_t> percent;
};

// One Event as the page is handed it. True when the taskbar's percent
// changed.
bool WatchEvent(JobWatch& watch, std::string_view event);

// A begin or an end, in its order among the Events. Once a job has ended:
// what to tell a player who is not looking, nullopt for nothing (a stop or
// pause the player asked for, a job with no ending of its own).
std::optional<DesktopNotice> WatchSignal(JobWatch& watch, const JobSignal& signal);

// WatchSignal as a host acts on it: the notice to show when the player is
// not looking (inFront false), nullopt in front of the window, where the
// page says it all; the log names the end either way.
std::optional<DesktopNotice> NoticeToShow(JobWatch& watch, const JobSignal& signal, bool inFront, Log& log);

}  // namespace tarn
