#pragma once
#include <filesystem>
#include <string>
#include <vector>

namespace tarn::test {

struct ProgramRun {
  int exitCode = -1;
  std::string out;  // standard output
  std::string err;  // standard error
  std::vector<std::string> lines() const;  // stdout split at line feeds
};

// Runs a program with the given text on its standard input and waits for
// it to end.
ProgramRun RunProgram(const std::filesystem::path& program, const std::string& input);

// The Command text as a line of the headless host's script.
std::string ScriptLine(const std::string& command);

}  // namespace tarn::test
