#include "bridge/host_slots.h"

#include <memory>
#include <mutex>

namespace tarn {
namespace {

// The slots are written once by the host and then only read, but tests
// install fresh slots between cases while tasks of an earlier case may still
// read them; a shared snapshot under a short lock keeps both cases sound.
struct Lent {
  HostSlots slots;
  ServiceEndpoint service;
};

struct Slots {
  std::mutex mutex;
  std::shared_ptr<const Lent> current;
};

Slots& TheSlots() {
  static Slots* slots = new Slots;  // never destroyed: detached tasks may post during exit
  return *slots;
}

std::shared_ptr<const Lent> Snapshot() {
  Slots& s = TheSlots();
  std::lock_guard lock(s.mutex);
  return s.current;
}

}  // namespace

void InstallHostSlots(HostSlots slots, ServiceEndpoint service) {
  auto fresh = std::make_shared<const Lent>(Lent{std::move(slots), std::move(service)});
  Slots& s = TheSlots();
  std::lock_guard lock(s.mutex);
  s.current = std::move(fresh);
}

void PostToUi(const std::string& event) {
  const auto slots = Snapshot();
  if (slots && slots->slots.post) slots->slots.post(event);
}

void ShellOpen(const std::string& target, const std::string& params) {
  const auto slots = Snapshot();
  if (slots && slots->slots.open) slots->slots.open(target, params);
}

std::optional<std::string> PickFolder(const FolderDialog& dialog) {
  const auto slots = Snapshot();
  if (slots && slots->slots.pickFolder) return slots->slots.pickFolder(dialog);
  return std::nullopt;
}

std::string DataFolder() {
  const auto slots = Snapshot();
  return slots ? slots->slots.dataFolder : std::string();
}

ServiceEndpoint ServiceEndpointInUse() {
  const auto slots = Snapshot();
  return slots ? slots->service : ServiceEndpoint{};
}

}  // namespace tarn
