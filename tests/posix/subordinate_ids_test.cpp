// Whose a uid is for the service's limits: /etc/subuid's ranges, reread when the file changes.
#include "platform/posix/subordinate_ids.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <fstream>

#include "posix/support/scratch_dir.h"

namespace {

// What the service's wait does: the watch reports the change, then the ids take note of it.
void SeeChange(platform::posix::SubordinateIds& ids) {
  pollfd watch{ids.ChangeDescriptor(), POLLIN, 0};
  ASSERT_EQ(poll(&watch, 1, 5000), 1) << "the change was not reported";
  ids.Refresh();
}

TEST(SubordinateIdsTest, UidsOfAGrantedRangeBelongToItsUserAndChangesAreSeen) {
  zyltest::ScratchDir dir;
  const std::string path = dir.Path() + "/subuid";
  std::ofstream(path) << "1000:100000:65536\nroot:300000:10\nnobody-such-user:400000:5\n"
                         "broken line\n2000:500000:x\n";
  platform::posix::SubordinateIds ids(path);
  EXPECT_EQ(ids.OwnerOf(100000), 1000u);
  EXPECT_EQ(ids.OwnerOf(165535), 1000u);
  EXPECT_EQ(ids.OwnerOf(165536), 165536u) << "past the range";
  EXPECT_EQ(ids.OwnerOf(300009), 0u) << "a user by name";
  EXPECT_EQ(ids.OwnerOf(400001), 400001u) << "an unknown name grants nothing";
  EXPECT_EQ(ids.OwnerOf(500001), 500001u);
  EXPECT_EQ(ids.OwnerOf(1000), 1000u);

  std::ofstream(path) << "1001:100000:10\n";
  SeeChange(ids);
  EXPECT_EQ(ids.OwnerOf(100005), 1001u) << "the file changed: read again";
  EXPECT_EQ(ids.OwnerOf(100010), 100010u);
  std::remove(path.c_str());
  SeeChange(ids);
  EXPECT_EQ(ids.OwnerOf(100005), 100005u) << "no file, no ranges";
}

}  // namespace
