// The Linux mount table, parsed with its escapes and optional fields.
#include "platform/linux/mount_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarn {
namespace {

TEST(MountTable, ParsedWithEscapesAndOptionalFields) {
  const std::string text =
      "27 1 254:0 / / rw,relatime shared:1 - ext4 /dev/vda rw\n"
      "30 27 0:45 / /home rw master:2 unbindable - btrfs /dev/sdb2 rw,subvol=/home\n"
      "31 27 0:50 / /mnt/my\\040disk ro - ext4 /dev/sdc1 ro\n"
      "32 27 0:51 / /mnt/share rw - nfs4 srv:/export rw\n"
      "33 27 0:52 / /mnt/share/deep rw - fuse.sshfs u@h:/ rw\n"
      "34 27 0:23 / /dev/shm rw - tmpfs tmpfs rw\n"
      "garbage line\n"
      "35 27 8:1 / /mnt/data rw - ext4 /dev/sda1 rw\n";
  const std::vector<MountEntry> m = ParseMountInfo(text);
  ASSERT_EQ(m.size(), 7u);
  EXPECT_EQ(m[0].mountPoint, "/");
  EXPECT_EQ(m[1].fsType, "btrfs");
  EXPECT_EQ(m[1].source, "/dev/sdb2");
  EXPECT_EQ(m[2].mountPoint, "/mnt/my disk");
  EXPECT_TRUE(m[2].readOnly);
  EXPECT_FALSE(m[0].readOnly);
  EXPECT_EQ(m[6].major, 8u);
  EXPECT_EQ(m[6].minor, 1u);

  EXPECT_TRUE(IsLocalBlockFs(m[0]));
  EXPECT_TRUE(IsLocalBlockFs(m[1]));  // anonymous device number, real device source
  EXPECT_FALSE(IsLocalBlockFs(m[3]));
  EXPECT_FALSE(IsLocalBlockFs(m[5]));

  EXPECT_EQ(MountOf(m, "/mnt/share/x")->fsType, "nfs4");
  EXPECT_EQ(MountOf(m, "/mnt/share/deep/x")->fsType, "fuse.sshfs");
  EXPECT_EQ(MountOf(m, "/mnt/shared")->mountPoint, "/");  // a prefix of the text is not a parent
  EXPECT_EQ(MountOf(m, "/mnt/data")->source, "/dev/sda1");
  EXPECT_EQ(MountOf(m, "relative"), nullptr);
  for (const char* type : {"nfs", "nfs4", "cifs", "smb3", "fuse.sshfs", "9p"}) EXPECT_TRUE(IsNetworkFsType(type));
  for (const char* type : {"ext4", "btrfs", "tmpfs", "fuse", "overlay"}) EXPECT_FALSE(IsNetworkFsType(type));
}

}  // namespace
}  // namespace tarn
