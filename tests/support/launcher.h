#pragma once
// What tests of the launcher core share: expected Event texts, the log read
// back as UTF-16 units, and host slots that only name a data folder.
#include <string>
#include <vector>

#include "bridge/host_slots.h"

namespace tarn::test {

// One status row of the "verify" Event.
std::string Row(const std::string& state, const std::string& label, const std::string& text);
// The "verify" Event with these rows.
std::string Verify(const std::vector<std::string>& rows);
// The "progress" Event.
std::string Progress(const std::string& status, int percent, bool ready);

// launcher.log's bytes as the UTF-16LE units a reader sees.
std::u16string LogUnits(const std::string& bytes);

// Host slots with a data folder and nothing else: Events and shell
// requests go nowhere.
HostSlots DataOnly(const std::string& folder);

}  // namespace tarn::test
