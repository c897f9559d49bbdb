#include "bridge/host_slots.h"

#include "bridge/context.h"
#include "bridge/log.h"
#include "platform/http.h"
#include "platform/proxy.h"

namespace tarn {

void HostLink::Install(HostSlots slots, ServiceEndpoint service) {
  auto fresh = std::make_shared<const Lent>(Lent{std::move(slots), std::move(service)});
  std::lock_guard lock(mutex_);
  current_ = std::move(fresh);
}

std::shared_ptr<const HostLink::Lent> HostLink::Snapshot() const {
  std::lock_guard lock(mutex_);
  return current_;
}

void InstallHostSlots(LauncherContext& ctx, HostSlots slots, ServiceEndpoint service) {
  ctx.host.Install(std::move(slots), std::move(service));
}

void PostToUi(LauncherContext& ctx, const std::string& event) {
  const auto lent = ctx.host.Snapshot();
  if (lent && lent->slots.post) lent->slots.post(event);
}

void ShellOpen(LauncherContext& ctx, const std::string& target, const std::string& params) {
  const auto lent = ctx.host.Snapshot();
  if (lent && lent->slots.open) lent->slots.open(target, params);
}

void CloseThroughHost(LauncherContext& ctx) {
  const auto lent = ctx.host.Snapshot();
  if (lent && lent->slots.close) lent->slots.close();
}

std::optional<std::string> PickFolder(LauncherContext& ctx, const FolderDialog& dialog) {
  const auto lent = ctx.host.Snapshot();
  if (lent && lent->slots.pickFolder) return lent->slots.pickFolder(dialog);
  return std::nullopt;
}

void SignalJob(LauncherContext& ctx, const JobSignal& signal) {
  const auto lent = ctx.host.Snapshot();
  if (lent && lent->slots.job) lent->slots.job(signal);
}

std::string DataFolder(LauncherContext& ctx) {
  const auto lent = ctx.host.Snapshot();
  return lent ? lent->slots.dataFolder : std::string();
}

ServiceEndpoint ServiceEndpointInUse(LauncherContext& ctx) {
  const auto lent = ctx.host.Snapshot();
  return lent ? lent->service : ServiceEndpoint{};
}

namespace {

std::string FoundProxy(LauncherContext& ctx, const ServiceEndpoint& service) {
  if (IsLoopbackHost(service.host)) return {};
  if (std::optional<std::string> system = SystemProxy(service.host, service.port, service.secure)) return *system;
  const auto lent = ctx.host.Snapshot();
  if (!lent || !lent->slots.desktopProxy) return {};
  return lent->slots.desktopProxy(ServiceUrlText(service));
}

}  // namespace

std::string ServiceProxy(LauncherContext& ctx, const ServiceEndpoint& service) {
  std::string proxy = FoundProxy(ctx, service);
  if (proxy.empty()) return {};
  // Support reads which road the requests took; the log never holds the
  // proxy's user or password. One that cannot be read goes nowhere rather
  // than to a guess: the service is then reached directly.
  const std::string shown = ProxyShown(proxy);
  if (ctx.log.FirstTime("proxy " + ServiceUrlText(service) + " " + shown))
    LogLine(ctx.log, "прокси для службы %s: %s", ServiceUrlText(service).c_str(),
            shown.empty() ? "не читается, соединение напрямую" : shown.c_str());
  return shown.empty() ? std::string() : proxy;
}

}  // namespace tarn
