#pragma once
// How the service answers: every answer carries an explicit length, and the
// body bytes that really went out are counted for the access log.
#include <httplib.h>

#include <cstdint>
#include <string>

namespace tarn::tools {

// The library then leaves Range alone (the file answers do their own range
// arithmetic) and never compresses.
void Answer(httplib::Response& res, int status, const std::string& type, std::string body);

// The count of the request that the current thread serves. The server
// answers a connection on one thread, from routing through the body to the
// log line, so the count is per thread and needs no lock.
void CountBodyBytes(uint64_t bytes);
void ResetBodyBytes();
uint64_t TakeBodyBytes();  // the count, reset to zero

}  // namespace tarn::tools
