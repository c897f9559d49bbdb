#pragma once
// The one road to the operator's service: a fixed endpoint on the local
// machine, plain HTTP, one blocking request per call and nothing kept
// between calls. Called from background tasks only.
#include <cstdint>
#include <string>
#include <string_view>

namespace tarn {

inline constexpr std::string_view ServiceHost = "127.0.0.1";
inline constexpr uint16_t ServicePort = 8090;
inline constexpr std::string_view ServiceUserAgent = "TarnLauncher/1.0";

// Sends method and path (with its query) to the service, with body as JSON
// when it is not empty. response and status are cleared first, then hold
// every body byte that arrived and the status code. True exactly when a
// status was read; the status itself is not judged, so callers check for
// 200. A body cut short still gives true with the bytes that arrived.
bool HttpCall(std::string_view method, std::string_view path, std::string_view body, std::string& response,
              uint32_t& status);

}  // namespace tarn
