#pragma once
// What the desktop shell is asked to open for a local file the player wants
// to read, such as launcher.log.
#include <string>

namespace tarn {

struct ShellTarget {
  std::string target;  // address, folder or program handed to the shell
  std::string params;  // parameter string for a program; empty otherwise
};

// Windows opens text in Notepad with the file as its parameter; desktops
// without Notepad open the file itself with its default handler.
ShellTarget TextViewerFor(const std::string& filePath);

// A folder as the shell wants it: the path itself on Windows, a file://
// address on Linux.
std::string FolderTarget(const std::string& folderPath);

}  // namespace tarn
