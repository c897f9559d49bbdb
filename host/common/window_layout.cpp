#include "host/common/window_layout.h"

#include <cstddef>

namespace tarn {

WindowCommand ParseWindowCommand(std::string_view command) {
  constexpr WindowCommand kInOrder[] = {WindowCommand::Drag, WindowCommand::Minimize, WindowCommand::Close};
  for (size_t i = 0; i < kWindowCommandNames.size(); ++i)
    if (command == kWindowCommandNames[i]) return kInOrder[i];
  return WindowCommand::Other;
}

}  // namespace tarn
