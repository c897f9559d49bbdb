#include "tools/service/fault_answers.h"

#include <chrono>
#include <string>
#include <thread>

#include "tools/service/answer.h"
#include "tools/service/query.h"

namespace tarn::tools {
namespace {

// Answers that a sound service never gives: they end only when the client
// gives up (a write fails) or the service stops.
void AnswerReplacement(const FaultState::Replacement& replacement, const httplib::Request& req,
                       httplib::Response& res) {
  if (replacement.kind == FaultState::Replacement::Redirect) {
    res.set_header("Location", "http://127.0.0.1:" + std::to_string(replacement.value) + req.target);
    return Answer(res, 307, "text/plain; charset=utf-8", "moved\n");
  }
  res.status = 200;
  if (replacement.kind == FaultState::Replacement::Endless) {
    res.set_chunked_content_provider("application/octet-stream", [](size_t, httplib::DataSink& sink) {
      static const std::string block(65536, 'x');
      if (!sink.write(block.data(), block.size())) return false;
      CountBodyBytes(block.size());
      return true;
    });
    return;
  }
  const auto every = std::chrono::milliseconds(replacement.value);
  res.set_chunked_content_provider("application/octet-stream", [every](size_t, httplib::DataSink& sink) {
    std::this_thread::sleep_for(every);
    if (!sink.write(" ", 1)) return false;
    CountBodyBytes(1);
    return true;
  });
}

}  // namespace

bool AnswerInjectedFault(FaultState& faults, const httplib::Request& req, httplib::Response& res) {
  const FaultRules snapshot = faults.Snapshot();
  if (snapshot.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(snapshot.delayMs));
  // A status may be aimed at a client file by its list path.
  std::string listPath;
  if (req.path == "/api/file") ClientFileListPath(req.target, listPath);
  if (const int code = faults.TakeStatus(req.path, req.target, listPath)) {
    Answer(res, code, "text/plain; charset=utf-8", "injected status " + std::to_string(code) + "\n");
    if (!snapshot.retryAfter.empty()) res.set_header("Retry-After", snapshot.retryAfter);
    return true;
  }
  if (const FaultState::Replacement replacement = faults.TakeReplacement(req.path, req.target);
      replacement.kind != FaultState::Replacement::None) {
    AnswerReplacement(replacement, req, res);
    return true;
  }
  return false;
}

}  // namespace tarn::tools
