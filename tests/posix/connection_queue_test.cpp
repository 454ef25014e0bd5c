// The rules for queued connections, without sockets: limits, completion, expiry and the order
// of service.
#include "platform/posix/connection_queue.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using platform::posix::ConnectionQueue;
using namespace std::chrono_literals;

constexpr ConnectionQueue::Limits kLimits{8, 4, 2, 5000ms, 20ms};
const ConnectionQueue::Clock::time_point kStart{};

ConnectionQueue::Connection Connection(int fd, uid_t owner) {
  ConnectionQueue::Connection connection;
  connection.fd = fd;
  connection.owner = owner;
  return connection;
}

// Offers a connection whose whole record arrived with its first read.
bool AddComplete(ConnectionQueue& queue, int fd, uid_t owner) {
  return queue.Add(Connection(fd, owner), ConnectionQueue::kRecordBytes, kStart);
}

std::vector<int> ServedOrder(ConnectionQueue& queue) {
  std::vector<int> order;
  while (auto next = queue.TakeNext()) {
    order.push_back(next->fd);
    queue.Finished(next->owner);
  }
  return order;
}

TEST(ConnectionQueueTest, OwnerServedLongestAgoGoesFirstSoACrowdCannotQueueAheadOfAnother) {
  ConnectionQueue queue(kLimits);
  ASSERT_TRUE(AddComplete(queue, 10, 1000));
  ASSERT_TRUE(AddComplete(queue, 11, 1000));
  ASSERT_TRUE(AddComplete(queue, 12, 1000));
  // A slow writer of another owner: its record completes behind the crowd.
  ASSERT_TRUE(queue.Add(Connection(20, 2000), 10, kStart));
  EXPECT_FALSE(queue.Waiting().back().complete);
  queue.Received(queue.Waiting().back(), 14, kStart + 1ms);
  ASSERT_TRUE(queue.Waiting().back().complete);
  EXPECT_EQ(ServedOrder(queue), (std::vector<int>{10, 20, 11, 12}));
  EXPECT_EQ(queue.Open(), 0);
}

TEST(ConnectionQueueTest, LimitsPerOwnerAndInAllAndTheirRelease) {
  ConnectionQueue queue(kLimits);
  // Two connections still arriving per owner; complete ones still fit, up to four in all.
  EXPECT_TRUE(queue.Add(Connection(1, 7), ConnectionQueue::kNothingYet, kStart));
  EXPECT_TRUE(queue.Add(Connection(2, 7), 3, kStart));
  EXPECT_FALSE(queue.Add(Connection(3, 7), ConnectionQueue::kNothingYet, kStart));
  EXPECT_TRUE(AddComplete(queue, 4, 7));
  EXPECT_TRUE(AddComplete(queue, 5, 7));
  EXPECT_FALSE(queue.HasRoomFor(7));
  EXPECT_FALSE(AddComplete(queue, 6, 7));
  // Gone before it was queued: refused whatever came with it.
  EXPECT_FALSE(queue.Add(Connection(7, 8), 0, kStart));
  EXPECT_FALSE(queue.Add(Connection(7, 8), -1, kStart));
  // Eight open in all, whoever owns them.
  for (int fd = 10; fd < 14; ++fd) EXPECT_TRUE(AddComplete(queue, fd, 100 + fd));
  EXPECT_EQ(queue.Open(), 8);
  EXPECT_FALSE(queue.HasRoomFor(999));
  EXPECT_FALSE(AddComplete(queue, 20, 999));
  // A served connection counts until it is finished.
  auto served = queue.TakeNext();
  ASSERT_TRUE(served.has_value());
  EXPECT_FALSE(queue.HasRoomFor(999));
  queue.Finished(served->owner);
  EXPECT_TRUE(queue.HasRoomFor(999));
}

TEST(ConnectionQueueTest, SettleCompletesAPauseAndLetsGoOfWhatIsGoneOrOutOfTime) {
  ConnectionQueue queue(kLimits);
  ASSERT_TRUE(queue.Add(Connection(1, 5), 4, kStart));  // part, then a pause
  ASSERT_TRUE(queue.Add(Connection(2, 5), ConnectionQueue::kNothingYet, kStart));  // idle
  ASSERT_TRUE(AddComplete(queue, 3, 6));
  ASSERT_TRUE(AddComplete(queue, 4, 6));
  queue.HungUp(queue.Waiting()[3]);
  EXPECT_EQ(queue.NextDeadline(), kStart + 20ms);

  std::vector<int> closed;
  queue.Settle(kStart + 19ms, closed);
  EXPECT_EQ(closed, std::vector<int>{4}) << "the one that hung up goes at once";
  EXPECT_FALSE(queue.Waiting()[0].complete);
  queue.Settle(kStart + 20ms, closed);
  EXPECT_TRUE(queue.Waiting()[0].complete) << "what one read would have returned is handed over";
  EXPECT_EQ(queue.NextDeadline(), kStart + 5000ms);
  // The idle one's arriving slot came back with the completed one's.
  EXPECT_TRUE(queue.Add(Connection(5, 5), ConnectionQueue::kNothingYet, kStart + 21ms));

  queue.Settle(kStart + 5000ms, closed);
  EXPECT_EQ(closed, (std::vector<int>{4, 2})) << "nothing within the read limit";
  // A client that ends its stream while its record is arriving is never handed over.
  queue.Received(queue.Waiting().back(), 0, kStart + 5001ms);
  queue.Settle(kStart + 5001ms, closed);
  EXPECT_EQ(closed, (std::vector<int>{4, 2, 5}));
  EXPECT_EQ(ServedOrder(queue), (std::vector<int>{1, 3}));
  EXPECT_EQ(queue.Open(), 0);
}

}  // namespace
