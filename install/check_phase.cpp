#include <string>
#include <vector>

#include "bridge/parallel.h"
#include "client/install_record.h"
#include "client/version_file.h"
#include "install/engine.h"
#include "install/status.h"
#include "platform/crypto.h"
#include "platform/file.h"
#include "platform/output_file.h"
#include "platform/paths.h"

namespace tarn {
namespace {

constexpr size_t kCheckPostEvery = 128;

// What the check phase knows of one entry's file.
enum : char { kMissing, kInJournal, kToHash, kSame, kDifferent, kSkipped };

// First, in list order, what is cheap: which files exist and which the
// journal vouches for. The indices of the rest, to be hashed, go to toHash.
std::vector<char> FirstLook(InstallContext& ctx, const FileList& list, const std::string& folder,
                            std::vector<size_t>& toHash) {
  const InstallJournal journal = LoadInstallJournal(ctx, InstallJournalLimit(list));
  std::vector<char> found(list.entries.size(), kMissing);
  for (size_t i = 0; i < list.entries.size(); ++i) {
    const FileEntry& e = list.entries[i];
    const auto size = FileSize(ClientFilePath(folder, e.path));
    if (!size) continue;
    const auto known = journal.find(e.path);
    if (known != journal.end() && known->second == e.md5 && *size == e.size && e.size != 0) {
      found[i] = kInJournal;
    } else {
      found[i] = kToHash;
      toHash.push_back(i);
    }
  }
  return found;
}

}  // namespace

bool CheckInstalledFiles(InstallContext& ctx, const FileList& list, const std::string& folder,
                         TransferCounters& counters, DownloadPlan& plan) {
  const size_t count = list.entries.size();
  // Only what the first look could not settle is hashed, on every core.
  std::vector<size_t> toHash;
  std::vector<char> found = FirstLook(ctx, list, folder, toHash);

  // Then every entry in list order, each as soon as its hash (if any) is
  // known: the journal lines, the plan and the Events come out as they
  // would one file after another.
  size_t next = 0;
  bool stopped = false;
  const auto settleUpTo = [&](size_t end) {
    for (; next < end && !stopped; ++next) {
      const size_t i = next;
      if (found[i] == kSkipped || ctx.flags.stopRequested.load()) {
        stopped = true;
        return;
      }
      const FileEntry& e = list.entries[i];
      if (found[i] == kSame) AppendInstallJournal(ctx, e.path, e.md5);
      if (found[i] == kInJournal || found[i] == kSame) {
        counters.completedBytes += e.size;
        counters.completedFiles += 1;
      } else {
        plan.entries.push_back(&e);
        plan.bytes += e.size;
      }
      if (i % kCheckPostEvery == 0) {
        {
          std::lock_guard lock(ctx.status.lock);
          ctx.status.state.doneFiles = i + 1;
          ctx.status.state.doneBytes = counters.completedBytes;
        }
        PostInstallEvent(ctx);
      }
    }
  };
  ForEachInParallel(
      toHash.size(),
      [&](size_t j) {
        const size_t i = toHash[j];
        // After a stop the rest is only skipped: nothing of it counts.
        if (ctx.flags.stopRequested.load()) {
          found[i] = kSkipped;
          return;
        }
        const FileEntry& e = list.entries[i];
        std::string hex;
        found[i] = FileMd5Hex(ClientFilePath(folder, e.path), hex) && SameChecksum(hex, e.md5) ? kSame : kDifferent;
      },
      [&](size_t j) { settleUpTo(toHash[j] + 1); });
  settleUpTo(count);
  return !stopped && !ctx.flags.stopRequested.load();
}

}  // namespace tarn
