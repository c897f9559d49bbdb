#include "host/common/window_layout.h"

namespace tarn {

WindowCommand ParseWindowCommand(std::string_view command) {
  if (command == "window.drag") return WindowCommand::Drag;
  if (command == "window.minimize") return WindowCommand::Minimize;
  if (command == "window.close") return WindowCommand::Close;
  return WindowCommand::Other;
}

}  // namespace tarn
