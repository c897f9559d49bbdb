#include "platform/program_update.h"

#include "platform/paths.h"

namespace tarn {

RunningProgram DescribeRunningProgram() { return {ProgramInstall::Folder, ExePath(), ExeDir()}; }

PublisherCheck CheckPublisher(const std::string&) { return PublisherCheck::NotNeeded; }

Result<void, UpgradeError> StartUpgrade(const RunningProgram&, const std::string&) {
  return Fail(UpgradeError::Unsupported);
}

void RemoveProgramLeftAside(const RunningProgram&) {}

}  // namespace tarn
