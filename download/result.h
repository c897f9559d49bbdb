#pragma once
// What a download ends with, what the head of the service's answer means
// for it, and the player's text for each result.
#include <cstdint>
#include <string>

namespace tarn {

// Fixed values: the install engine stores and compares them.
enum class DownloadResult : int {
  Ok = 0,             // complete, checked and in place
  Paused = 1,         // the pause request was seen; the ".part" file keeps what arrived
  Stopped = 2,        // the stop request was seen
  NetworkError = 3,   // no connection, a broken one, or less than expected
  ServerRefused = 4,  // an answer other than 200, 206 or 416
  WriteError = 5,     // a folder, the ".part" file or the target could not be written
  DiskFull = 6,
  Corrupt = 7,        // the finished file is wrong; its ".part" file is gone
};

// What the head of the service's answer means for a transfer that
// continues a ".part" file of offset bytes; rangeFirst is the first byte
// the answer's Content-Range names, -1 without one.
enum class DownloadHead {
  Body,                // 200 (the whole file, from the start) or a 206 that continues at offset
  NothingAfterOffset,  // 416: the ".part" file already holds everything
  Refused,             // any other status
  WrongRange,          // a 206 that continues elsewhere: its bytes would be spliced in wrongly
};
DownloadHead JudgeDownloadHead(uint32_t status, int64_t rangeFirst, uint64_t offset);

// The player's text for a result; "Неизвестная ошибка" for any other value.
std::string DownloadResultText(DownloadResult code);

}  // namespace tarn
