#include "host/win/folder_dialog.h"

#include <shobjidl.h>

#include "platform/windows/wide.h"

namespace tarn {
namespace {

template <typename T>
struct Released {
  T* p = nullptr;
  Released() = default;
  Released(const Released&) = delete;
  Released& operator=(const Released&) = delete;
  ~Released() {
    if (p) p->Release();
  }
};

struct Apartment {
  bool entered;
  Apartment() : entered(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE))) {}
  Apartment(const Apartment&) = delete;
  Apartment& operator=(const Apartment&) = delete;
  ~Apartment() {
    if (entered) CoUninitialize();
  }
};

}  // namespace

std::optional<std::string> PickFolderWithDialog(const FolderDialog& dialog, HWND owner) {
  const Apartment apartment;
  Released<IFileOpenDialog> chooser;
  if (FAILED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER, IID_IFileOpenDialog,
                              reinterpret_cast<void**>(&chooser.p))))
    return std::nullopt;
  FILEOPENDIALOGOPTIONS options = 0;
  chooser.p->GetOptions(&options);
  // Existing file-system folders only: no libraries, no virtual places.
  chooser.p->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM | FOS_PATHMUSTEXIST);
  chooser.p->SetTitle(ToWide(dialog.title).c_str());
  chooser.p->SetOkButtonLabel(ToWide(dialog.acceptLabel).c_str());
  if (!dialog.startFolder.empty()) {
    Released<IShellItem> start;
    if (SUCCEEDED(SHCreateItemFromParsingName(ToWide(dialog.startFolder).c_str(), nullptr, IID_IShellItem,
                                              reinterpret_cast<void**>(&start.p))))
      chooser.p->SetFolder(start.p);
  }
  if (FAILED(chooser.p->Show(owner))) return std::nullopt;
  Released<IShellItem> chosen;
  if (FAILED(chooser.p->GetResult(&chosen.p)) || !chosen.p) return std::nullopt;
  LPWSTR path = nullptr;
  if (FAILED(chosen.p->GetDisplayName(SIGDN_FILESYSPATH, &path)) || !path) return std::nullopt;
  std::string folder = FromWide(path);
  CoTaskMemFree(path);
  if (folder.empty()) return std::nullopt;
  return folder;
}

}  // namespace tarn
