#include "platform/download.h"
#include "platform/output_file.h"

namespace tarn {

// Not built yet: every transfer fails as if the service were unreachable, so
// the downloader reports NetworkError and keeps its ".part" files. The real
// transfer opens its own session with WinHttpOpen (no proxy, synchronous),
// applies the four time-outs with WinHttpSetTimeouts, then WinHttpConnect,
// WinHttpOpenRequest ("GET"), WinHttpAddRequestHeaders for the Range header,
// WinHttpSendRequest, WinHttpReceiveResponse, WinHttpQueryHeaders for the
// status number and Content-Range, and a WinHttpQueryDataAvailable /
// WinHttpReadData loop that calls the sink, polling idle() between reads;
// every handle goes back through WinHttpCloseHandle.
StreamEnd StreamGet(const StreamRequest&, const StreamSink&) { return StreamEnd::Failed; }

// FlushFileBuffers is the only flush there is; it waits, so it stays in
// CommitOutputFile.
void StartWriteBack(OutputFile&) {}

}  // namespace tarn
