#include "service/http.h"

#include "platform/http.h"

namespace tarn {

bool HttpCall(std::string_view method, std::string_view path, std::string_view body, std::string& response,
              uint32_t& status) {
  response.clear();
  status = 0;
  HttpRequest request;
  request.host = std::string(ServiceHost);
  request.port = ServicePort;
  request.method = std::string(method);
  request.target = std::string(path);
  request.body = body;
  request.userAgent = std::string(ServiceUserAgent);
  request.timeouts = {.resolveMs = 5000, .connectMs = 5000, .sendMs = 15000, .receiveMs = 30000};
  // The service reads the body as UTF-8 JSON; a request without a body
  // says nothing about a type it does not carry.
  if (!body.empty()) request.headers.push_back("Content-Type: application/json; charset=utf-8");
  HttpSink sink;
  sink.body = [&response](std::string_view bytes) {
    response.append(bytes);
    return true;
  };
  status = SendHttpRequest(request, sink);
  return status != 0;
}

}  // namespace tarn
