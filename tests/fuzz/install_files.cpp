// install.cfg and install.done as the installer reads and rewrites them, on
// real files in a scratch data folder.
#include <algorithm>
#include <string>

#include "client/install_record.h"
#include "fuzz.h"
#include "platform/file.h"
#include "platform/file_ops.h"
#include "wiring/launcher.h"

using namespace tarn;
using fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Launcher launcher;
  LauncherContext& ctx = launcher.context;
  fuzz::UseScratchDataFolder(ctx);
  std::string_view input = fuzz::Bytes(data, size);
  const std::string key(fuzz::Head(input));
  const std::string content(input);

  // install.cfg: a key is set over whatever the file held, every other line
  // survives, and the value reads back exactly.
  ReplaceFileAtomically(InstallConfigPath(ctx), content);
  const std::string before = GetConfigValue(launcher.client, key);
  Check(before.find('\n') == std::string::npos, "a value is one line");
  const std::string value = "v=" + std::to_string(size);
  if (!key.empty() && key.find_first_of("=\r\n") == std::string::npos) {
    SetConfigValue(launcher.client, key, value);
    Check(GetConfigValue(launcher.client, key) == value, "a value set reads back");
    std::string text;
    Check(ReadWholeFile(InstallConfigPath(ctx), text), "install.cfg is readable after a set");
    Check(text.ends_with("\r\n") && text.find("\r\n\r\n") == std::string::npos, "CR LF lines, none blank");
  }

  // install.done: every line with a TAB is one entry; the last one counts.
  ReplaceFileAtomically(InstallJournalPath(ctx), content);
  for (const auto& [path, md5] : LoadInstallJournal(ctx, 1 << 20)) {
    Check(md5.find_first_of("\t\n") == std::string::npos, "a checksum text holds no TAB or LF");
    Check(path.find('\n') == std::string::npos, "a journal path holds no LF");
  }

  // The same input grown past the bounds: reads stay within them, a set
  // leaves a file no larger than its bound (or its own line), and a long
  // journal is cut back to the lines that were read.
  std::string grown = content.empty() ? std::string("k=v\r\n") : content;
  while (grown.size() <= 2 * kInstallConfigLimitBytes) grown += grown;
  ReplaceFileAtomically(InstallConfigPath(ctx), grown);
  if (!key.empty() && key.find_first_of("=\r\n") == std::string::npos) {
    SetConfigValue(launcher.client, key, value);
    std::string text;
    ReadWholeFile(InstallConfigPath(ctx), text);
    Check(text.size() <= std::max(kInstallConfigLimitBytes, key.size() + value.size() + 3), "a set keeps the bound");
    Check(GetConfigValue(launcher.client, key) == value, "a value set over a damaged file reads back");
  }
  ReplaceFileAtomically(InstallJournalPath(ctx), grown);
  const size_t limit = 64 + size;
  const InstallJournal kept = LoadInstallJournal(ctx, limit);
  std::string text;
  ReadWholeFile(InstallJournalPath(ctx), text);
  Check(text.size() <= limit, "a long journal is cut back to its bound");
  Check(LoadInstallJournal(ctx, limit) == kept, "the cut journal reads as what was read");
  return 0;
}
