#include "platform/process.h"

namespace tarn {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> args;
  if (line.empty()) return args;
  // The pieces may carry a password: room for all of them up front, so no
  // growing leaves copies behind in freed memory for the caller's wipe to
  // miss. Arguments are separated by at least one blank.
  args.reserve(line.size() / 2 + 2);

  // The program name knows no escapes: a path cannot hold a double quote.
  size_t i = 0;
  std::string name;
  if (line[0] == '"') {
    for (i = 1; i < line.size() && line[i] != '"'; ++i) name += line[i];
    if (i < line.size()) ++i;  // the closing quote
  } else {
    for (; i < line.size() && !IsBlank(line[i]); ++i) name += line[i];
  }
  args.push_back(std::move(name));
  while (i < line.size() && IsBlank(line[i])) ++i;

  std::string arg;
  arg.reserve(line.size());
  bool inArg = false;
  bool quoted = false;
  while (i < line.size()) {
    const char c = line[i];
    if (IsBlank(c) && !quoted) {
      if (inArg) {
        args.push_back(std::move(arg));
        arg = std::string();
        arg.reserve(line.size());
      }
      inArg = false;
      ++i;
      continue;
    }
    inArg = true;
    if (c == '\\') {
      size_t slashes = 0;
      while (i < line.size() && line[i] == '\\') ++slashes, ++i;
      if (i < line.size() && line[i] == '"') {
        arg.append(slashes / 2, '\\');
        if (slashes % 2 == 1) {
          arg += '"';
          ++i;
        }
        // An even count leaves the quote to the next round, which groups.
      } else {
        arg.append(slashes, '\\');
      }
      continue;
    }
    if (c == '"') {
      if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
        arg += '"';
        quoted = false;
        i += 2;
      } else {
        quoted = !quoted;
        ++i;
      }
      continue;
    }
    arg += c;
    ++i;
  }
  if (inArg) args.push_back(std::move(arg));
  return args;
}

void WipeText(std::string& text) {
  volatile char* p = text.data();
  for (size_t i = 0; i < text.size(); ++i) p[i] = 0;
}

}  // namespace tarn
