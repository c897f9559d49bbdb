#include "bridge/host_slots.h"

#include "bridge/context.h"

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

std::optional<std::string> PickFolder(LauncherContext& ctx, const FolderDialog& dialog) {
  const auto lent = ctx.host.Snapshot();
  if (lent && lent->slots.pickFolder) return lent->slots.pickFolder(dialog);
  return std::nullopt;
}

std::string DataFolder(LauncherContext& ctx) {
  const auto lent = ctx.host.Snapshot();
  return lent ? lent->slots.dataFolder : std::string();
}

ServiceEndpoint ServiceEndpointInUse(LauncherContext& ctx) {
  const auto lent = ctx.host.Snapshot();
  return lent ? lent->service : ServiceEndpoint{};
}

}  // namespace tarn
