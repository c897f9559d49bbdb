#pragma once
#include <filesystem>
#include <string>
#include <vector>

namespace tarn::test {

struct ProgramRun {
  int exitCode = -1;
  std::string out;  // standard output
  std::string err;  // standard error
  // The most memory the program (and whatever it waited for) held at once,
  // in KiB; Linux only, -1 elsewhere.
  long maxRssKiB = -1;
  // stdout split at line feeds; the CR of a Windows CR LF line end is
  // dropped, so the same expectations hold for both builds.
  std::vector<std::string> lines() const;
};

// Runs a program with the given arguments and the given text on its
// standard input, and waits for it to end. Output goes through files, so a
// chatty program never blocks on a full pipe.
ProgramRun RunProgram(const std::filesystem::path& program, const std::string& input,
                      const std::vector<std::string>& args = {});

// The Command text as a line of the headless host's script.
std::string ScriptLine(const std::string& command);

namespace detail {
// Windows only: one argument quoted by the rules CommandLineToArgvW and the
// C runtime use to split a command line, where backslashes are literal
// unless they precede a quote.
std::wstring QuoteArg(const std::wstring& arg);
}  // namespace detail

}  // namespace tarn::test
