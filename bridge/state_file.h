#pragma once
// The launcher's own records in the data folder (install.cfg, install.done,
// accounts.dat) are small by nature, so each is read against a bound fitted
// to what it holds: a file past its bound is damaged (by a disk, a tool or a
// hand), and reading it whole would cost memory and time on every access.
#include <cstddef>
#include <string>

namespace tarn {

class Log;

// Reads at most limit bytes of path. A larger file comes back as the whole
// lines among its first limit bytes (the useful part), with oversized set,
// and the log says so once per run and file; whoever writes the record next
// writes only what it read, so the rest goes then. False when the file
// cannot be read (bytes empty).
bool ReadStateFile(Log& log, const std::string& path, size_t limit, std::string& bytes, bool& oversized);

}  // namespace tarn
