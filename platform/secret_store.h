#pragma once
// Secrets of the current OS user: bytes sealed so that only this user on
// this machine can open them again, and files that only their owner may
// read. Windows seals with the user's data-protection key; Linux with a
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

// Replaces a file's whole content so that only its owner can read it and a
// crash at any moment leaves either the old content or the new: the bytes
// go to an owner-only temporary file in the same folder, are flushed to
// disk, and that file is renamed over path. False (the old file untouched,
// no temporary file left) when any step fails.
bool ReplacePrivateFile(const std::string& path, std::string_view bytes);

}  // namespace tarn
