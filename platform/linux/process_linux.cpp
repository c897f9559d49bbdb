#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/file_ops.h"
#include "platform/linux/posix_io.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/thread.h"

extern char** environ;

namespace tarn {
namespace {

struct FileActions {
  posix_spawn_file_actions_t actions;
  int status = posix_spawn_file_actions_init(&actions);
  ~FileActions() {
    if (status == 0) posix_spawn_file_actions_destroy(&actions);
  }
};

struct SpawnAttributes {
  posix_spawnattr_t attributes;
  int status = posix_spawnattr_init(&attributes);
  ~SpawnAttributes() {
    if (status == 0) posix_spawnattr_destroy(&attributes);
  }
};

// The argument texts carry the password: they are wiped however the start
// ends.
struct Arguments {
  std::vector<std::string> texts;
  ~Arguments() {
    for (std::string& text : texts) WipeText(text);
  }
};
struct WipedLine {
  std::string text;
  ~WipedLine() { WipeText(text); }
};

// A Windows executable begins with the DOS header's "MZ". A file that
// cannot be read is left to the start itself, which says why it fails.
bool IsWindowsExecutable(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char magic[2] = {};
  const ssize_t n = read(fd, magic, sizeof magic);
  close(fd);
  return n == 2 && magic[0] == 'M' && magic[1] == 'Z';
}

// The first executable regular file named name in a PATH folder. Empty and
// relative PATH entries are skipped: they would depend on the working
// folder.
std::string FindOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string_view folders = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  while (!folders.empty()) {
    const size_t colon = folders.find(':');
    const std::string_view folder = folders.substr(0, colon);
    folders = colon == std::string_view::npos ? std::string_view{} : folders.substr(colon + 1);
    if (folder.empty() || folder[0] != '/') continue;
    std::string candidate = std::string(folder) + "/" + name;
    struct stat info {};
    if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(candidate.c_str(), X_OK) == 0)
      return candidate;
  }
  return {};
}

// Each started game has a thread that waits for it alone, so it never
// stays behind as a zombie, and no other child of the process is reaped
// by mistake.
void Reap(void* arg) {
  const pid_t pid = static_cast<pid_t>(reinterpret_cast<intptr_t>(arg));
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  ReleaseThreadState();
}

// Signal dispositions and the mask the launcher set up for itself (an
// ignored SIGPIPE, blocked signals of helper threads) are not a started
// program's. A session of its own keeps it running when the launcher's
// terminal goes away.
struct OwnSession : SpawnAttributes {
  OwnSession() {
    if (status != 0) return;
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);
  }
};

Failure<uint32_t> Failed(int error) { return Fail(static_cast<uint32_t>(error)); }

// The game's own Wine prefix, and the mark that its preparation finished:
// a prefix Wine made only halfway is made anew.
std::string GamePrefix() { return JoinPath(StateDir(), "wine"); }
std::string PreparedMark() { return JoinPath(GamePrefix(), ".tarn-prepared"); }
constexpr int kPrepareLimitSeconds = 300;

bool Exists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

// The launcher's environment with Wine's variables set as given: nothing
// the player's shell says about prefixes or Wine's debugging carries over.
struct Environment {
  std::vector<std::string> texts;
  std::vector<char*> pointers;
  explicit Environment(std::vector<std::string> wine) {
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string_view entry(*e);
      if (entry.rfind("WINEPREFIX=", 0) != 0 && entry.rfind("WINEDEBUG=", 0) != 0 &&
          entry.rfind("WINEDLLOVERRIDES=", 0) != 0)
        texts.emplace_back(entry);
    }
    for (std::string& entry : wine) texts.push_back(std::move(entry));
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
  }
};

// The started program gets no descriptor of the launcher: standard streams
// lead nowhere (a headless launcher's output is its Event stream) unless
// input or output name a pipe end, and every other descriptor is closed,
// whatever its close-on-exec flag says. 0, or the first error.
int QuietStart(posix_spawn_file_actions_t& fa, const std::string& workingFolder, int input, int output) {
  int error = posix_spawn_file_actions_addchdir_np(&fa, workingFolder.c_str());
  if (error == 0)
    error = input >= 0 ? posix_spawn_file_actions_adddup2(&fa, input, 0)
                       : posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  if (error == 0) error = posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  if (error == 0)
    error = output >= 0 ? posix_spawn_file_actions_adddup2(&fa, output, 1) : posix_spawn_file_actions_adddup2(&fa, 2, 1);
  if (error == 0) error = posix_spawn_file_actions_addclosefrom_np(&fa, 3);
  return error;
}

// How a Wine program of the launcher's runs in the game's prefix.
struct WineStart {
  std::string folder;  // its working folder
  int input = -1;      // a pipe end for its standard input, or -1
  int output = -1;     // a pipe end for its standard output, or -1
  // Mono's and Gecko's installers, which would ask the player through
  // windows of their own, switched off: the prefix needs neither.
  bool quietPrefix = false;
};

// Runs a Wine program (wine, wineserver) with args in the game's prefix,
// quietly (QuietStart), in a session of its own, so its whole process
// group can be ended at once. Its pid, or the error as a negative number.
pid_t SpawnInPrefix(const std::string& program, std::vector<std::string> texts, const WineStart& how) {
  std::vector<std::string> wine{"WINEPREFIX=" + GamePrefix(), "WINEDEBUG=-all"};
  if (how.quietPrefix) wine.push_back("WINEDLLOVERRIDES=mscoree,mshtml=");
  Environment env(std::move(wine));
  texts.insert(texts.begin(), program);
  std::vector<char*> argv;
  for (std::string& text : texts) argv.push_back(text.data());
  argv.push_back(nullptr);
  FileActions actions;
  if (const int error = actions.status != 0 ? actions.status : QuietStart(actions.actions, how.folder, how.input, how.output))
    return -error;
  OwnSession attributes;
  if (attributes.status != 0) return -attributes.status;
  pid_t pid = 0;
  if (const int error = posix_spawn(&pid, program.c_str(), &actions.actions, &attributes.attributes, argv.data(),
                                    env.pointers.data()))
    return -error;
  return pid;
}

// Waits for the child pid at most limitTicks tenths of a second, or until
// stop (when given) is raised. Its exit status, or nothing when it still
// runs.
std::optional<int> WaitForChild(pid_t pid, int limitTicks, const std::atomic<bool>* stop) {
  int status = 0;
  for (int tick = 0; tick < limitTicks && (stop == nullptr || !stop->load()); ++tick) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return status;
    if (done < 0 && errno != EINTR) return -1;
    usleep(100 * 1000);
  }
  return std::nullopt;
}

// Ends the child pid with the whole process group it leads.
void EndChild(pid_t pid) {
  kill(-pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

// Ends pid's process group and every Windows process of the game's prefix:
// wineboot's wine starts Wine's services and a wineserver, which run on
// after it unless their server is told to end them.
void EndInPrefix(pid_t pid) {
  EndChild(pid);
  const std::string server = FindOnPath("wineserver");
  if (server.empty()) return;
  const pid_t killer = SpawnInPrefix(server, {"-k"}, {.folder = GamePrefix()});
  if (killer > 0 && !WaitForChild(killer, 50, nullptr)) EndChild(killer);
}

// Runs `wine wineboot --init` in the game's prefix and waits for it within
// the limit; a raised stop (the launcher closes) ends it at once, with what
// it started, and leaves the prefix unmarked for the next start.
bool RunWineboot(const std::string& wine, const std::atomic<bool>& stop) {
  // An unmarked prefix is what an ended preparation left (a closed or
  // killed launcher): Wine takes it for made and would start the game in
  // it with half its libraries missing. It goes, links left unfollowed.
  std::error_code ignored;
  std::filesystem::remove_all(GamePrefix(), ignored);
  if (mkdir(GamePrefix().c_str(), 0700) != 0) return false;
  const pid_t pid = SpawnInPrefix(wine, {"wineboot", "--init"}, {.folder = GamePrefix(), .quietPrefix = true});
  if (pid <= 0) return false;
  if (const std::optional<int> status = WaitForChild(pid, kPrepareLimitSeconds * 10, &stop))
    return WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
  EndInPrefix(pid);
  return false;
}

// Wine gives a program it starts from a Unix argument list the command line
// its own rules build: the program's Windows path in quotes, then each
// argument as it stands, in quotes when it holds a blank or is empty, with
// its double quotes escaped (and the backslashes before them doubled)
// when it holds any. The game has always seen that line on Linux.
void AppendWineArgument(std::string& out, std::string_view arg) {
  const bool blank = arg.empty() || arg.find_first_of(" \t") != std::string_view::npos;
  if (!blank && arg.find('"') == std::string_view::npos) {
    out += arg;
    return;
  }
  if (blank) out += '"';
  size_t slashes = 0;
  for (char c : arg) {
    if (c == '"') out.append(slashes + 1, '\\');
    slashes = c == '\\' ? slashes + 1 : 0;
    out += c;
  }
  if (blank) {
    out.append(slashes, '\\');
    out += '"';
  }
}

// The game's starter, a Windows program shipped beside the launcher: it
// reads the game's command line from its standard input, so the password
// stands on no Unix argument list (Wine would otherwise show it in the
// game's /proc/<pid>/cmdline, and `wine`'s own, to every local user).
constexpr char kStarter[] = "tarn-game-starter.exe";
constexpr int kStarterLimitTicks = 600;
// The most UTF-8 bytes of a line Windows takes (32767 units): the pipe is
// made to hold all of them, so the write never waits on a reader (a
// wineserver the starter spawns inherits the pipe and never reads it).
constexpr size_t kStarterLineBytes = 32767 * 3;

// The starter's one line, "<error> <pid>", once it has ended.
Result<uint32_t, uint32_t> StarterReport(int fd) {
  char text[64] = {};
  fcntl(fd, F_SETFL, O_NONBLOCK);
  const ssize_t n = read(fd, text, sizeof text - 1);
  unsigned long error = 0;
  unsigned long pid = 0;
  if (n <= 0 || std::sscanf(text, "%lu %lu", &error, &pid) != 2 || error > UINT32_MAX || pid > UINT32_MAX)
    return Failed(EIO);
  if (error != 0) return Fail(static_cast<uint32_t>(error));
  return static_cast<uint32_t>(pid);
}

// Starts a Windows program through `wine` in the game's prefix by way of
// the starter, which gets the command line through a pipe: the quoted Unix
// path, then the arguments as Wine itself would have put them, then NUL.
// Waits for the starter (it ends once the game runs) and returns its
// report.
Result<uint32_t, uint32_t> StartThroughWine(const std::string& program, const std::vector<std::string>& args,
                                            const std::string& workingFolder) {
  const std::string wine = FindOnPath("wine");
  if (wine.empty()) return Failed(ENOENT);
  const std::string starter = JoinPath(ExeDir(), kStarter);
  if (!IsFile(starter)) return Failed(ENOENT);

  WipedLine line;
  size_t size = program.size() + 4;
  for (const std::string& arg : args) size += 2 * arg.size() + 3;
  line.text.reserve(size);  // no growing: no copies of the password left behind
  line.text += '"';
  line.text += program;
  line.text += '"';
  for (size_t i = 1; i < args.size(); ++i) {
    line.text += ' ';
    AppendWineArgument(line.text, args[i]);
  }
  line.text += '\0';  // the end: a line cut short is never started

  if (line.text.size() > kStarterLineBytes) return Failed(E2BIG);
  int in[2];
  int out[2];
  if (pipe2(in, O_CLOEXEC | O_NONBLOCK) != 0) return Failed(errno);
  Fd inRead(in[0]), inWrite(in[1]);
  if (fcntl(in[1], F_SETPIPE_SZ, static_cast<int>(kStarterLineBytes + 4096)) < 0 ||
      fcntl(in[0], F_SETFL, 0) != 0)  // the starter reads its end as a plain, waiting pipe
    return Failed(errno);
  if (pipe2(out, O_CLOEXEC) != 0) return Failed(errno);
  Fd outRead(out[0]), outWrite(out[1]);

  const pid_t pid = SpawnInPrefix(wine, {starter}, {.folder = workingFolder, .input = in[0], .output = out[1]});
  if (pid < 0) return Failed(-pid);
  inRead.Close();
  outWrite.Close();
  // The whole line fits, so this write never waits; a starter that ended
  // early leaves it to fail (SIGPIPE is ignored), and its report says why.
  WriteAll(inWrite.get(), line.text);
  inWrite.Close();
  WipeText(line.text);

  const std::optional<int> status = WaitForChild(pid, kStarterLimitTicks, nullptr);
  if (!status) {
    EndChild(pid);
    return Failed(ETIMEDOUT);
  }
  return StarterReport(outRead.get());
}

}  // namespace

bool FolderHasMatch(const std::string& folder, std::string_view pattern) {
  Folder listing(opendir(folder.c_str()));
  if (!listing.ok()) return false;
  const std::string wanted(pattern);
  while (const dirent* entry = readdir(listing.get())) {
    if (fnmatch(wanted.c_str(), entry->d_name, FNM_CASEFOLD) == 0) return true;
  }
  return false;
}

GameRuntime GameRuntimeFor(const std::string& application) {
  if (!IsWindowsExecutable(FullPath(application))) return GameRuntime::Ready;
  if (FindOnPath("wine").empty()) return GameRuntime::Missing;
  return Exists(PreparedMark()) ? GameRuntime::Ready : GameRuntime::Unprepared;
}

bool PrepareGameRuntime(const std::atomic<bool>& stop) {
  if (Exists(PreparedMark())) return true;
  const std::string wine = FindOnPath("wine");
  if (wine.empty() || !RunWineboot(wine, stop)) return false;
  const int fd = open(PreparedMark().c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  close(fd);
  return true;
}

Result<uint32_t, uint32_t> StartProgram(const std::string& application, const std::string& commandLine,
                                        const std::string& workingFolder) {
  Arguments args{SplitCommandLine(commandLine)};
  if (args.texts.empty() || args.texts[0] != application) return Failed(EINVAL);

  // The working folder changes before the program is looked up, so a
  // relative path must not reach the start.
  const std::string program = FullPath(application);
  if (program.empty()) return Failed(EINVAL);
  if (IsWindowsExecutable(program)) return StartThroughWine(program, args.texts, workingFolder);
  args.texts[0] = program;
  std::vector<char*> argv;
  argv.reserve(args.texts.size() + 1);
  for (std::string& text : args.texts) argv.push_back(text.data());
  argv.push_back(nullptr);

  FileActions actions;
  if (const int error = actions.status != 0 ? actions.status : QuietStart(actions.actions, workingFolder, -1, -1))
    return Failed(error);
  OwnSession attributes;
  if (attributes.status != 0) return Failed(attributes.status);
  pid_t pid = 0;
  if (const int error = posix_spawn(&pid, program.c_str(), &actions.actions, &attributes.attributes, argv.data(), environ))
    return Failed(error);
  // Without a thread the game still runs; it only stays a zombie after it
  // ends, until the launcher exits.
  StartDetachedThread(Reap, reinterpret_cast<void*>(static_cast<intptr_t>(pid)));
  return static_cast<uint32_t>(pid);
}

}  // namespace tarn
