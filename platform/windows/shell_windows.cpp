#include "platform/shell.h"

namespace tarn {

// The shell starts Notepad with the file as its parameter, so the log opens
// as text whatever program the desktop associates with ".log".
ShellTarget TextViewerFor(const std::string& filePath) { return {"notepad.exe", filePath}; }

std::string FolderTarget(const std::string& folderPath) { return folderPath; }

}  // namespace tarn
