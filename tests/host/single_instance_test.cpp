// The single-instance guard on a name of the test's own, so that a running
// launcher on the same machine is not disturbed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "host/gtk/single_instance.h"

namespace tarn {
namespace {

std::string UniqueName(const char* what) {
  return std::string("TarnTest\\") + what + "\\" + std::to_string(getpid());
}

TEST(SingleInstance, LaterCopiesAskTheFirstAndTheNameFreesWhenItCloses) {
  const std::string name = UniqueName("claim");
  InstanceClaim first = ClaimSingleInstance(name);
  ASSERT_EQ(first.role, InstanceRole::First);
  EXPECT_EQ(TakePresentRequests(first.listener.get()), 0);

  EXPECT_EQ(ClaimSingleInstance(name).role, InstanceRole::Other);
  EXPECT_EQ(ClaimSingleInstance(name).role, InstanceRole::Other);
  EXPECT_EQ(TakePresentRequests(first.listener.get()), 2);
  EXPECT_EQ(TakePresentRequests(first.listener.get()), 0);

  first.listener = UniqueFd();
  EXPECT_EQ(ClaimSingleInstance(name).role, InstanceRole::First);
}

TEST(SingleInstance, NameIsNotHeldByChildrenOrADeadHolder) {
  const std::string name = UniqueName("children");
  {
    InstanceClaim first = ClaimSingleInstance(name);
    ASSERT_EQ(first.role, InstanceRole::First);
    // Programs the launcher starts (the web view's processes, a browser)
    // must not inherit the name, or it would outlive the launcher.
    EXPECT_TRUE(fcntl(first.listener.get(), F_GETFD) & FD_CLOEXEC);
  }
  // A holder that dies without cleaning up frees the name all the same.
  const pid_t child = fork();
  if (child == 0) {
    InstanceClaim held = ClaimSingleInstance(name);
    _exit(held.role == InstanceRole::First ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ClaimSingleInstance(name).role, InstanceRole::First);
}

TEST(SingleInstance, ANameThatCannotBeAnAddressRunsUnguarded) {
  EXPECT_EQ(ClaimSingleInstance("").role, InstanceRole::Alone);
  EXPECT_EQ(ClaimSingleInstance(std::string(200, 'x')).role, InstanceRole::Alone);
}

}  // namespace
}  // namespace tarn
