#include "support/launcher.h"

#include "bridge/text.h"

namespace tarn::test {

std::string Row(const std::string& state, const std::string& label, const std::string& text) {
  return R"({"state":")" + state + R"(","label":")" + JsonEscape(label) + R"(","text":")" + JsonEscape(text) + "\"}";
}

std::string Verify(const std::vector<std::string>& rows) {
  std::string e = R"({"verify":[)";
  for (size_t i = 0; i < rows.size(); ++i) e += (i ? "," : "") + rows[i];
  return e + "]}";
}

std::string Progress(const std::string& status, int percent, bool ready) {
  return R"({"progress":{"status":")" + status + R"(","percent":)" + std::to_string(percent) + R"(,"ready":)" +
         (ready ? "true" : "false") + "}}";
}

std::u16string LogUnits(const std::string& bytes) {
  std::u16string units;
  units.reserve(bytes.size() / 2);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2)
    units += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                   (static_cast<unsigned char>(bytes[i + 1]) << 8));
  return units;
}

HostSlots DataOnly(const std::string& folder) {
  HostSlots slots;
  slots.dataFolder = folder;
  return slots;
}

}  // namespace tarn::test
