#pragma once
// Replacing the running launcher with a newer one the operator published.
// Who may replace it depends on how it came to this machine: a system
// package belongs to the package manager, an installed Windows copy to the
// installer, a copy in a folder of its own to the launcher itself. The
// logic above decides whether and when; these calls only know how.
#include <cstdint>
#include <string>

#include "platform/result.h"

namespace tarn {

enum class ProgramInstall {
  Package,    // a system package (Linux): the package manager updates it
  Installer,  // the per-user installer's copy (Windows): a newer installer upgrades it
  Folder,     // unpacked or built into a folder of its own: the launcher swaps its files
};

struct RunningProgram {
  ProgramInstall kind = ProgramInstall::Folder;
  std::string program;  // the running executable's full path
  std::string folder;   // the folder it runs from (beside it: ui/, and data/ when state stays there)
};

// How the running launcher was installed, read from the system now.
RunningProgram DescribeRunningProgram();

// Whether a downloaded release file may be started as far as its publisher
// goes. A running program without a publisher's signature (every Linux
// build, an unsigned Windows build) has nothing to compare with: NotNeeded.
// A signed Windows program accepts only a file signed by the same
// publisher, with a signature the system trusts.
enum class PublisherCheck { NotNeeded, Matches, Refused };
PublisherCheck CheckPublisher(const std::string& file);

// Why a replacement did not start. Nothing of the running launcher has
// changed when any of these is returned.
enum class UpgradeError {
  Unsupported,  // this kind of copy is not replaced by the launcher (a package)
  Locked,       // the program or its folder could not be renamed or written
  Unpack,       // the downloaded file could not be opened or unpacked
  Start,        // the installer or helper process did not start
};

// Starts the replacement of `program` by the verified release file
// `downloaded`; the caller closes the launcher as soon as this succeeds.
// Windows: the installer runs quietly, waits until this launcher's
// single-instance guard is free, upgrades in place (a Folder copy: the
// running program renamed aside first, the new files put in the folder)
// and starts the new launcher. Linux: a Folder copy gets the new program
// and page from the package file, the running program renamed aside.
Result<void, UpgradeError> StartUpgrade(const RunningProgram& program, const std::string& downloaded);

// Removes what an earlier replacement left aside beside `program` (the old
// executable a running copy could not delete). Called at start; quiet when
// there is nothing, or when the file is still held.
void RemoveProgramLeftAside(const RunningProgram& program);

}  // namespace tarn
