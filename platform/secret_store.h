#pragma once
// Secrets of the current OS user: bytes sealed so that only this user on
// this machine can open them again (files only their owner may read are
// written by ReplaceFileAtomically in platform/file_ops.h). Windows seals with the user's data-protection key; Linux with a
// random per-user AES-256-GCM key kept in the user's data folder
// ($XDG_DATA_HOME/tarn-launcher, by default ~/.local/share/tarn-launcher),
// made on first use.
#include <string>
#include <string_view>

namespace tarn {

// Seals plain into opaque bytes. description is bound to them: Windows
// stores it in the blob, Linux authenticates it, so unsealing on Linux needs
// the same text. False when the user's key can be neither read nor made.
bool ProtectForUser(std::string_view plain, std::string_view description, std::string& sealed);

// Opens bytes sealed by ProtectForUser. False when they were sealed by
// another user or on another machine, were changed in any way, or (Linux)
// carry another description; plain is then empty.
bool UnprotectForUser(std::string_view sealed, std::string_view description, std::string& plain);

}  // namespace tarn
