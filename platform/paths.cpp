#include "platform/paths.h"

namespace tarn {

std::string JoinPath(std::string_view dir, std::string_view name) {
  std::string out(dir);
  if (!out.empty() && !name.empty() && out.back() != NativeSeparator()) out += NativeSeparator();
  out += name;
  return out;
}

}  // namespace tarn

namespace tarn {

std::string StateDir() { return StateDirFor(ExeDir()); }

}  // namespace tarn
