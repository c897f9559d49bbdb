#pragma once
// Running the command-line programs that check the tools from outside
// (openssl, curl, md5sum, the tools themselves).
#include <cstdio>
#include <string>
#include <sys/wait.h>

namespace tarn::test {

struct Shell {
  int code = -1;
  std::string out;
};

// Runs a shell command line; standard output is captured, standard error
// is folded into it so that failures explain themselves.
inline Shell RunShell(const std::string& command) {
  Shell result;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return result;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, n);
  const int status = pclose(pipe);
  result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// Single-quoted for the shell.
inline std::string Quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

}  // namespace tarn::test
