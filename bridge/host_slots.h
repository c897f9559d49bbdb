#pragma once
// What the host (window or headless) lends the core: the road for Events to
// the page, the desktop shell, the folder dialog, the data folder, the
// desktop's proxy settings, a word of the long jobs' beginnings and ends,
// and the service's address. A host installs them once, before the page
// can send its first Command; until then Events are dropped, shell requests do
// nothing and requests go to the default address.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "bridge/service_endpoint.h"

namespace tarn {

struct FolderDialog {
  std::string title;
  std::string acceptLabel;
  std::string startFolder;
};

// The long jobs the desktop may show outside the window: an install, and
// an update (a repair is an update of the files a check found wrong).
enum class LongJob : uint8_t { Install, Update };
enum class JobPhase : uint8_t { Began, Ended };
struct JobSignal {
  LongJob job = LongJob::Install;
  JobPhase phase = JobPhase::Began;
};

struct HostSlots {
  // Delivers one Event text to the page. Called from any thread; must not
  // block on the page, and must keep the order of one thread's posts.
  std::function<void(const std::string& event)> post;
  // Hands a target (address, folder, program) with its parameter string to
  // the desktop. The result is not reported.
  std::function<void(const std::string& target, const std::string& params)> open;
  // Asks the player for a folder; nullopt when cancelled or unavailable.
  // Called from a task thread: the host moves the dialog to its UI thread.
  std::function<std::optional<std::string>(const FolderDialog& dialog)> pickFolder;
  // Holds accounts.dat, install.cfg and install.done.
  std::string dataFolder;
  // The desktop's proxy for a URL ("http://host:port"), empty for a direct
  // connection; asked from task threads, and only when the environment
  // names no proxy. Left empty by a host with no desktop settings to read.
  std::function<std::string(const std::string& url)> desktopProxy = {};
  // Closes the launcher as the player's close does (the window's close
  // button, "window.close"), from any thread, without waiting: a replaced
  // launcher leaves once its successor is in place. Left empty by a host
  // that cannot close itself.
  std::function<void()> close = {};
  // A long job began or ended (its Events in between say how it went).
  // Called on the job's thread, after the Events it posted before: the host
  // must keep that order and must not block. Left empty by a host with no
  // desktop to show it on.
  std::function<void(const JobSignal& signal)> job = {};
};

// What one launcher was lent. Written by the host (and by tests between
// cases while tasks of an earlier case may still read it): readers take a
// shared snapshot under a short lock, so both sides stay sound.
class HostLink {
 public:
  struct Lent {
    HostSlots slots;
    ServiceEndpoint service;
  };
  void Install(HostSlots slots, ServiceEndpoint service);
  std::shared_ptr<const Lent> Snapshot() const;

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const Lent> current_;
};

struct LauncherContext;

// service is where every request goes (LoadServiceEndpoint); installed
// together with the slots, so a fresh set of slots brings its own.
void InstallHostSlots(LauncherContext& ctx, HostSlots slots, ServiceEndpoint service = {});

// Hands an Event text to the page from any thread, without waiting.
void PostToUi(LauncherContext& ctx, const std::string& event);

// Hands a target to the desktop shell; nothing happens without a host.
void ShellOpen(LauncherContext& ctx, const std::string& target, const std::string& params = {});

// Asks the host to close the launcher; nothing happens without a host.
void CloseThroughHost(LauncherContext& ctx);

// Shows the host's folder dialog; nullopt without a host.
std::optional<std::string> PickFolder(LauncherContext& ctx, const FolderDialog& dialog);

// Tells the host a long job began or ended; nothing happens without a host.
void SignalJob(LauncherContext& ctx, const JobSignal& signal);

// The data folder the host set up; empty before that.
std::string DataFolder(LauncherContext& ctx);

// The service the host set up; the build's default before that.
ServiceEndpoint ServiceEndpointInUse(LauncherContext& ctx);

// The proxy requests to service go through, empty for a direct connection:
// the system's (SystemProxy), else the desktop's the host lent. This
// machine is always reached directly. It may carry a password: show it
// through ProxyShown only.
std::string ServiceProxy(LauncherContext& ctx, const ServiceEndpoint& service);

}  // namespace tarn
