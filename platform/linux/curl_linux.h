#pragma once
// What the rest of the Linux backend needs of the libcurl transport in
// http_linux.cpp. Internal to the backend.

namespace tarn {

// Closes the calling thread's kept connection (HttpRequest::keepConnection)
// and frees its handle.
void ReleaseKeptEasy();

}  // namespace tarn
