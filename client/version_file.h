#pragma once
// The installed client's version file, version.sw, which holds the
// client's build number as "%d 0\n".
#include <cstdint>
#include <string>
#include <string_view>

#include "bridge/context.h"
#include "client/context.h"

namespace tarn {

// C atoi: blanks skipped, an optional sign, the digits up to the first other
// character, 0 without any. Beyond the 32-bit range the value holds at the
// range's end instead of being undefined.
int32_t LeadingNumber(std::string_view text);

// The version file of the client found by FindClientDir: the first of
// config/element, install/config/element and client/config/element that
// holds a version.sw, in the client folder or up to four folders above it
// (never the file-system root). Without one, the path where it belongs:
// the client folder + config/element/version.sw. Empty without a client.
std::string FindVersionFile(ClientContext& ctx);

// The installed build number: the leading number of the version file's
// first 63 bytes (0 when there is none); nothing past them is read. -1
// without a client or a readable regular version file (a FIFO or device
// of that name is refused, never waited on).
int32_t ReadClientVersion(ClientContext& ctx);

// Stamps build into the version file, creating its folders when needed.
// The file is replaced whole, so a reader or a crash never sees half of it.
// False without a client or when the file could not be written.
bool WriteClientVersion(ClientContext& ctx, int32_t build);

}  // namespace tarn
