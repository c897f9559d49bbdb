#pragma once
// The answers that take the place of a sound one before routing: the
// delay, an injected status, and the answers that never end.
#include <httplib.h>

#include "tools/service/faults.h"

namespace tarn::tools {

// Waits out the delay in force, then answers the request when one of these
// faults applies to it. True when it answered.
bool AnswerInjectedFault(FaultState& faults, const httplib::Request& req, httplib::Response& res);

}  // namespace tarn::tools
