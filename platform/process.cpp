#include "platform/process.h"

namespace tarn {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The program name knows no escapes: a path cannot hold a double quote.
// Reads it from line[0] and leaves i on the first argument.
std::string ReadProgramName(std::string_view line, size_t& i) {
  std::string name;
  i = 0;
  if (line[0] == '"') {
    for (i = 1; i < line.size() && line[i] != '"'; ++i) name += line[i];
    if (i < line.size()) ++i;  // the closing quote
  } else {
    for (; i < line.size() && !IsBlank(line[i]); ++i) name += line[i];
  }
  while (i < line.size() && IsBlank(line[i])) ++i;
  return name;
}

// A run of backslashes at line[i]: halved before a double quote, and an odd
// one out makes that quote literal; elsewhere they stand as they are. An
// even run leaves the quote to the caller, which groups with it.
void ReadBackslashes(std::string_view line, size_t& i, std::string& arg) {
  size_t slashes = 0;
  while (i < line.size() && line[i] == '\\') ++slashes, ++i;
  if (i < line.size() && line[i] == '"') {
    arg.append(slashes / 2, '\\');
    if (slashes % 2 == 1) {
      arg += '"';
      ++i;
    }
  } else {
    arg.append(slashes, '\\');
  }
}

// A double quote at line[i]: "" inside quotes is one literal quote and ends
// the quoting; any other quote opens or closes it.
void ReadQuote(std::string_view line, size_t& i, bool& quoted, std::string& arg) {
  if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
    arg += '"';
    quoted = false;
    i += 2;
  } else {
    quoted = !quoted;
    ++i;
  }
}

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> args;
  if (line.empty()) return args;
  // The pieces may carry a password: room for all of them up front, so no
  // growing leaves copies behind in freed memory for the caller's wipe to
  // miss. Arguments are separated by at least one blank.
  args.reserve(line.size() / 2 + 2);
  size_t i = 0;
  args.push_back(ReadProgramName(line, i));

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
      ReadBackslashes(line, i, arg);
    } else if (c == '"') {
      ReadQuote(line, i, quoted, arg);
    } else {
      arg += c;
      ++i;
    }
  }
  if (inArg) args.push_back(std::move(arg));
  return args;
}

void WipeText(std::string& text) {
  volatile char* p = text.data();
  for (size_t i = 0; i < text.size(); ++i) p[i] = 0;
}

}  // namespace tarn
