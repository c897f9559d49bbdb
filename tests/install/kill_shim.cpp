// Preloaded into the launcher by the install fault tests: counts the file
// calls that matter to an install and ends the process with SIGKILL at one
// of them, so a test can cut the launcher off at an exact point without the
// launcher knowing.
//
//   TARN_KILL=EVENT#N    SIGKILL just before the Nth EVENT
//   TARN_KILL=EVENT#N+   SIGKILL just after it
//   TARN_SHIM_TRACE=FILE appends every EVENT as a line
//   TARN_STALL=EVENT#N:MS holds the Nth EVENT back MS milliseconds, so a
//                        command sent meanwhile meets the launcher there
//   TARN_SHIM_CLIENT=DIR files below DIR count as "client"
//
// An EVENT is "call:kind": call is open, write, fsync, fdatasync, rename or
// unlink; kind comes from the file's name: part (".part"), cfg
// (install.cfg and its temporary files), done (install.done), version
// (version.sw), client (anything else below TARN_SHIM_CLIENT). Calls on
// other files and on sockets are not events. A syncfs through a file's
// descriptor counts as that file's fdatasync: the launcher flushes several
// finished files with one syncfs, one fdatasync when one file finished
// alone, and which road it takes depends on timing.
//
// The libc headers are left out on purpose: fortified inline versions of
// open would clash with the definitions here.
#include <dlfcn.h>

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstring>

extern "C" {
using ssize_t = long;
using mode_t = unsigned int;
int kill(int, int) noexcept;
int getpid() noexcept;
char* getenv(const char*) noexcept;
int usleep(unsigned) noexcept;
}

namespace {

constexpr int kSigKill = 9;
constexpr int kOCreat = 0100;
constexpr int kOTmpFile = 020000000;
constexpr int kOWrOnly = 01;
constexpr int kOAppend = 02000;
constexpr int kMaxFd = 4096;
constexpr size_t kPathMax = 512;

char gPaths[kMaxFd][kPathMax];

template <typename F>
F Next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

using OpenFn = int (*)(const char*, int, ...);
using OpenAtFn = int (*)(int, const char*, int, ...);
using WriteFn = ssize_t (*)(int, const void*, size_t);
using FdFn = int (*)(int);
using RenameFn = int (*)(const char*, const char*);
using RenameAtFn = int (*)(int, const char*, int, const char*);
using UnlinkFn = int (*)(const char*);
using MkostempFn = int (*)(char*, int);

bool EndsWith(const char* s, const char* tail) {
  const size_t n = strlen(s), m = strlen(tail);
  return n >= m && strcmp(s + n - m, tail) == 0;
}

const char* Kind(const char* path) {
  if (path == nullptr || path[0] == '\0') return nullptr;
  const char* slash = strrchr(path, '/');
  const char* base = slash ? slash + 1 : path;
  if (EndsWith(base, ".part")) return "part";
  if (strncmp(base, "install.cfg", 11) == 0) return "cfg";
  if (strncmp(base, "install.done", 12) == 0) return "done";
  if (strncmp(base, "version.sw", 10) == 0) return "version";
  const char* client = getenv("TARN_SHIM_CLIENT");
  if (client != nullptr && client[0] != '\0' && strncmp(path, client, strlen(client)) == 0) return "client";
  return nullptr;
}

struct Rule {
  char event[64] = {};
  long n = 0;
  bool after = false;
  bool parsed = false;
};

// Reads "EVENT#N" at the start of text into event and n; what follows, or
// nullptr when text is no such thing.
const char* ParseEvent(const char* text, char (&event)[64], long& n) {
  const char* hash = text ? strchr(text, '#') : nullptr;
  if (hash == nullptr || static_cast<size_t>(hash - text) >= sizeof event) return nullptr;
  memcpy(event, text, static_cast<size_t>(hash - text));
  const char* end = hash + 1;
  for (; *end >= '0' && *end <= '9'; ++end) n = n * 10 + (*end - '0');
  return end;
}

Rule& TheRule() {
  static Rule rule = [] {
    Rule r;
    const char* end = ParseEvent(getenv("TARN_KILL"), r.event, r.n);
    if (end == nullptr) return r;
    r.after = *end == '+';
    r.parsed = r.n > 0;
    return r;
  }();
  return rule;
}

std::atomic<long> gCount{0};
std::atomic<bool> gTracing{false};

struct Stall {
  char event[64] = {};
  long n = 0;
  long ms = 0;
};

Stall& TheStall() {
  static Stall stall = [] {
    Stall s;
    const char* end = ParseEvent(getenv("TARN_STALL"), s.event, s.n);
    if (end != nullptr && *end == ':')
      for (++end; *end >= '0' && *end <= '9'; ++end) s.ms = s.ms * 10 + (*end - '0');
    return s;
  }();
  return stall;
}

std::atomic<long> gStallCount{0};

void MaybeStall(const char* event) {
  const Stall& stall = TheStall();
  if (stall.n <= 0 || strcmp(stall.event, event) != 0) return;
  if (gStallCount.fetch_add(1) + 1 != stall.n) return;
  for (long left = stall.ms; left > 0; left -= 100) usleep(100000);
}

void Trace(const char* event) {
  const char* file = getenv("TARN_SHIM_TRACE");
  if (file == nullptr || gTracing.exchange(true)) return;
  static const auto realOpen = Next<OpenFn>("open");
  static const auto realWrite = Next<WriteFn>("write");
  static const auto realClose = Next<FdFn>("close");
  const int fd = realOpen(file, kOWrOnly | kOCreat | kOAppend, 0644);
  if (fd >= 0) {
    char line[96];
    const size_t n = strlen(event);
    memcpy(line, event, n);
    line[n] = '\n';
    realWrite(fd, line, n + 1);
    realClose(fd);
  }
  gTracing = false;
}

// Returns true when this event is the one named by TARN_KILL; kills at once
// when the kill comes before the call.
bool Before(const char* call, const char* kind) {
  if (kind == nullptr) return false;
  char event[64];
  const size_t a = strlen(call), b = strlen(kind);
  if (a + b + 2 > sizeof event) return false;
  memcpy(event, call, a);
  event[a] = ':';
  memcpy(event + a + 1, kind, b + 1);
  Trace(event);
  MaybeStall(event);
  const Rule& rule = TheRule();
  if (!rule.parsed || strcmp(rule.event, event) != 0) return false;
  if (gCount.fetch_add(1) + 1 != rule.n) return false;
  if (!rule.after) kill(getpid(), kSigKill);
  return true;
}

void After(bool hit) {
  if (hit) kill(getpid(), kSigKill);
}

void Remember(int fd, const char* path) {
  if (fd < 0 || fd >= kMaxFd) return;
  if (path == nullptr || Kind(path) == nullptr) {
    gPaths[fd][0] = '\0';
    return;
  }
  strncpy(gPaths[fd], path, kPathMax - 1);
  gPaths[fd][kPathMax - 1] = '\0';
}

const char* KindOfFd(int fd) { return fd >= 0 && fd < kMaxFd ? Kind(gPaths[fd]) : nullptr; }

mode_t ModeArg(int flags, va_list args) {
  return (flags & kOCreat) != 0 || (flags & kOTmpFile) == kOTmpFile ? va_arg(args, mode_t) : 0;
}

int DoOpen(const char* name, const char* path, int flags, mode_t mode) {
  static const auto real = Next<OpenFn>("open");
  static const auto real64 = Next<OpenFn>("open64");
  const bool hit = Before("open", Kind(path));
  const int fd = (strcmp(name, "open64") == 0 ? real64 : real)(path, flags, mode);
  Remember(fd, path);
  After(hit);
  return fd;
}

int DoOpenAt(const char* name, int dir, const char* path, int flags, mode_t mode) {
  static const auto real = Next<OpenAtFn>("openat");
  static const auto real64 = Next<OpenAtFn>("openat64");
  const bool hit = Before("open", Kind(path));
  const int fd = (strcmp(name, "openat64") == 0 ? real64 : real)(dir, path, flags, mode);
  Remember(fd, path);
  After(hit);
  return fd;
}

// event names the call the event counts as (syncfs counts as fdatasync).
int SyncCall(const char* name, int fd, const char* event) {
  const auto real = Next<FdFn>(name);
  const bool hit = Before(event, KindOfFd(fd));
  const int r = real(fd);
  After(hit);
  return r;
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = ModeArg(flags, args);
  va_end(args);
  return DoOpen("open", path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = ModeArg(flags, args);
  va_end(args);
  return DoOpen("open64", path, flags, mode);
}

int openat(int dir, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = ModeArg(flags, args);
  va_end(args);
  return DoOpenAt("openat", dir, path, flags, mode);
}

int openat64(int dir, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = ModeArg(flags, args);
  va_end(args);
  return DoOpenAt("openat64", dir, path, flags, mode);
}

int mkostemp(char* pattern, int flags) {
  static const auto real = Next<MkostempFn>("mkostemp");
  const bool hit = Before("open", Kind(pattern));
  const int fd = real(pattern, flags);
  Remember(fd, pattern);
  After(hit);
  return fd;
}

int close(int fd) {
  static const auto real = Next<FdFn>("close");
  if (fd >= 0 && fd < kMaxFd) gPaths[fd][0] = '\0';
  return real(fd);
}

ssize_t write(int fd, const void* bytes, size_t size) {
  static const auto real = Next<WriteFn>("write");
  const bool hit = Before("write", KindOfFd(fd));
  const ssize_t r = real(fd, bytes, size);
  After(hit);
  return r;
}

int fsync(int fd) { return SyncCall("fsync", fd, "fsync"); }
int fdatasync(int fd) { return SyncCall("fdatasync", fd, "fdatasync"); }
int syncfs(int fd) { return SyncCall("syncfs", fd, "fdatasync"); }

int rename(const char* from, const char* to) {
  static const auto real = Next<RenameFn>("rename");
  const bool hit = Before("rename", Kind(from));
  const int r = real(from, to);
  After(hit);
  return r;
}

int renameat(int fromDir, const char* from, int toDir, const char* to) {
  static const auto real = Next<RenameAtFn>("renameat");
  const bool hit = Before("rename", Kind(from));
  const int r = real(fromDir, from, toDir, to);
  After(hit);
  return r;
}

int unlink(const char* path) {
  static const auto real = Next<UnlinkFn>("unlink");
  const bool hit = Before("unlink", Kind(path));
  const int r = real(path);
  After(hit);
  return r;
}

}  // extern "C"
