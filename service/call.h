#pragma once
// The one road to the operator's service: the endpoint the host set up
// (ServiceEndpointInUse), over TLS or, on this machine only, plain HTTP; one
// blocking request per call. Called from background tasks only. The only
// thing a call leaves behind is its connection, open for the calling
// thread's next call: to a distant service a new connection costs a round
// trip (over TLS, two or three) before the request even leaves, and a task
// asks several things in a row. Nothing else is kept between calls.
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "bridge/context.h"
#include "bridge/service_endpoint.h"
#include "platform/http.h"

namespace tarn {

inline constexpr std::string_view ServiceUserAgent = "TarnLauncher/1.0";

// The signed file list; the one document allowed to be large.
inline constexpr std::string_view kFileListPath = "/TRN/element/files.md5";

// Every answer HttpCall takes is held whole in memory, so each has a ceiling
// far above any real document: past it the call fails instead of letting a
// broken or hostile service grow the process without end.
inline constexpr size_t kFileListCapBytes = 4u << 20;       // the signed list
inline constexpr size_t kSmallDocumentCapBytes = 1u << 20;  // auth, news, ticket, version

// The whole of one call, connection to last byte: a service that trickles
// its answer fails the call instead of holding a task (and the screen that
// waits for it) for minutes. The per-step limits stay as they are.
inline constexpr int kSmallRequestTotalMs = 20000;

// The ceiling for the answer to path (with or without its query).
size_t SmallDocumentCap(std::string_view path);

// Sends method and path (with its query) to the service, with body as JSON
// when it is not empty. response and status are cleared first, then hold
// every body byte that arrived and the status code. True exactly when a
// status was read; the status itself is not judged, so callers check for
// 200. A body cut short still gives true with the bytes that arrived.
// False, with nothing kept, whenever no status was read, and when the
// answer is larger than its ceiling or does not arrive whole within
// kSmallRequestTotalMs; tooLarge, when given, then tells whether it was the
// ceiling. Redirects are not followed: a 3xx is a status like any other.
// retryAfter, when given, receives the answer's Retry-After in seconds
// (-1 without one, or when no status was read).
bool HttpCall(LauncherContext& ctx, std::string_view method, std::string_view path, std::string_view body,
              std::string& response, uint32_t& status, bool* tooLarge = nullptr, int64_t* retryAfter = nullptr);

// Writes why an exchange with endpoint was refused (HttpResult::reason) to
// the log, once a run for each reason: every call of a task meets the same
// certificate, and one line tells the operator what a player cannot see.
void LogRefusal(LauncherContext& ctx, const ServiceEndpoint& endpoint, const HttpResult& result);

// The longest the launcher waits before asking again when the service asks
// it to (Retry-After): a service that names an hour gets this, and the try
// after it decides.
inline constexpr int64_t kLongestServiceWaitSeconds = 60;

// How long to wait before the next try: the service's Retry-After
// (retryAfter seconds, -1 for none) up to kLongestServiceWaitSeconds, but
// never less than the launcher's own ownSeconds.
int64_t ServiceWaitSeconds(int64_t retryAfter, int64_t ownSeconds);

// Whether a refusal asks to be tried again later: 503 or 429 with a
// readable Retry-After.
bool AsksToWait(uint32_t status, int64_t retryAfter);

// Sleeps for wait, asking stopped every 200 ms; false, at once, when it
// says to stop.
bool WaitUnlessStopped(std::chrono::milliseconds wait, const std::function<bool()>& stopped);

// The toast that tells the player of a wait the service asked for.
std::string ServiceWaitEvent(int64_t seconds);

}  // namespace tarn
