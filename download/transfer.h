#pragma once
// One file fetched from the service into its ".part" file or into memory:
// the part of the downloader that DownloadFile and DownloadSession share.
// For the download layer's own files only.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "bridge/context.h"
#include "download/limiter.h"
#include "download/result.h"
#include "download/session.h"
#include "platform/http.h"
#include "platform/output_file.h"

namespace tarn {

// The result a download ends with when writing failed with status.
DownloadResult WriteFailure(WriteResult status);

// Makes targetPath's ".part" file anew with bytes in it, its folders
// first; the file stays open for the flush. Closed after a failure.
WriteResult WriteWholePart(const std::string& targetPath, std::string_view bytes, OutputFile& file);

// The request for a listed file's bytes from offset on, on the thread's
// kept connection, with the buffer and receive window its size and the
// speed limit call for.
HttpRequest FileRequest(DownloadContext& ctx, const std::string& requestPath, const std::optional<uint64_t>& size,
                        uint64_t offset);

// What Receive hands on: the ".part" file, or for a small file its bytes
// (inMemory), which nothing has written yet.
using Received = FetchedFile;

// Fetches and checks one file into its ".part" file, or into memory when
// keepSmall allows it for a small one. Ok: received holds exactly the
// listed bytes, not yet forced to the disk.
DownloadResult Receive(DownloadContext& ctx, const std::string& requestPath, const std::string& targetPath,
                       std::string_view expectedMd5, uint64_t expectedSize, DownloadFlags flags,
                       const ProgressCallback& progress, bool sizeKnown, bool keepSmall, Received& received);

}  // namespace tarn
