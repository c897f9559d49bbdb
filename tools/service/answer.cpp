#include "tools/service/answer.h"

#include <memory>
#include <utility>

namespace tarn::tools {
namespace {

thread_local uint64_t tBodyBytes = 0;

}  // namespace

void CountBodyBytes(uint64_t bytes) { tBodyBytes += bytes; }

void ResetBodyBytes() { tBodyBytes = 0; }

uint64_t TakeBodyBytes() { return std::exchange(tBodyBytes, 0); }

// Through a provider, so that what went out is counted.
void Answer(httplib::Response& res, int status, const std::string& type, std::string body) {
  res.status = status;
  res.set_header("Content-Length", std::to_string(body.size()));
  auto text = std::make_shared<std::string>(std::move(body));
  res.set_content_provider(type, [text](size_t offset, httplib::DataSink& sink) {
    if (offset < text->size()) {
      if (!sink.write(text->data() + offset, text->size() - offset)) return false;
      CountBodyBytes(text->size() - offset);
    }
    sink.done();
    return true;
  });
}

}  // namespace tarn::tools
