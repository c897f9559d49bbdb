#include "service/call.h"

#include <algorithm>
#include <thread>

#include "bridge/host_slots.h"
#include "bridge/log.h"

namespace tarn {

size_t SmallDocumentCap(std::string_view path) {
  // The signed list names every file of the client; the biggest real one is
  // a few hundred KiB. Everything else is a short JSON text or a number.
  return path.starts_with(kFileListPath) ? kFileListCapBytes : kSmallDocumentCapBytes;
}

bool HttpCall(LauncherContext& ctx, std::string_view method, std::string_view path, std::string_view body,
              std::string& response, uint32_t& status, bool* tooLarge, int64_t* retryAfter) {
  response.clear();
  status = 0;
  if (retryAfter) *retryAfter = -1;
  const ServiceEndpoint endpoint = ServiceEndpointInUse(ctx);
  HttpRequest request;
  request.host = endpoint.host;
  request.port = endpoint.port;
  request.secure = endpoint.secure;
  request.method = std::string(method);
  request.target = std::string(path);
  request.body = body;
  request.userAgent = std::string(ServiceUserAgent);
  request.keepConnection = true;
  request.proxy = ServiceProxy(ctx, endpoint);
  request.timeouts = {
      .resolveMs = 5000, .connectMs = 5000, .sendMs = 15000, .receiveMs = 30000, .totalMs = kSmallRequestTotalMs};
  // The service reads the body as UTF-8 JSON; a request without a body
  // says nothing about a type it does not carry.
  if (!body.empty()) request.headers.push_back("Content-Type: application/json; charset=utf-8");
  const size_t cap = SmallDocumentCap(path);
  bool tooBig = false;
  if (tooLarge) *tooLarge = false;
  HttpSink sink;
  sink.head = [&](const HttpHead& head) {
    tooBig = head.contentLength > 0 && static_cast<uint64_t>(head.contentLength) > cap;
    if (retryAfter) *retryAfter = head.retryAfterSeconds;
    return !tooBig;
  };
  sink.body = [&](std::string_view bytes) {
    if (bytes.size() > cap - response.size()) {
      tooBig = true;
      return false;
    }
    response.append(bytes);
    return true;
  };
  const HttpResult result = SendHttpRequest(request, sink);
  LogRefusal(ctx, endpoint, result);
  status = result.status;
  if (tooBig || status == 0) {
    // Half a document is no document: past its ceiling or its deadline,
    // nothing of it is handed on.
    response.clear();
    status = 0;
    if (tooLarge) *tooLarge = tooBig;
    if (retryAfter) *retryAfter = -1;
  }
  return status != 0;
}

void LogRefusal(LauncherContext& ctx, const ServiceEndpoint& endpoint, const HttpResult& result) {
  if (result.reason.empty() || !ctx.log.FirstTime("refusal " + result.reason)) return;
  LogLine(ctx.log, "служба %s: %s", ServiceUrlText(endpoint).c_str(), result.reason.c_str());
}

int64_t ServiceWaitSeconds(int64_t retryAfter, int64_t ownSeconds) {
  return std::max(ownSeconds, std::min(retryAfter, kLongestServiceWaitSeconds));
}

bool AsksToWait(uint32_t status, int64_t retryAfter) { return (status == 503 || status == 429) && retryAfter >= 0; }

bool WaitUnlessStopped(std::chrono::milliseconds wait, const std::function<bool()>& stopped) {
  constexpr auto kSlice = std::chrono::milliseconds(200);
  const auto until = std::chrono::steady_clock::now() + wait;
  for (;;) {
    if (stopped && stopped()) return false;
    const auto left = until - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return true;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, kSlice));
  }
}

std::string ServiceWaitEvent(int64_t seconds) {
  return R"({"toast":{"kind":"info","text":"Сервер обновлений занят и просит подождать )" + std::to_string(seconds) +
         R"( с — запрос повторится сам."}})";
}

}  // namespace tarn
