// The stop channel: first message, or the last sender gone, wakes the receiver.

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <thread>

#include "service/stop_channel.h"

namespace velk {
namespace {

TEST(StopChannel, MessageFromAnotherThreadWakesTheReceiver) {
  StopReceiver receiver;
  StopSender kept = receiver.sender();  // keeps the channel open: only the message can wake
  std::atomic<bool> woke{false};
  std::thread waiter([&] {
    receiver.wait();
    woke = true;
  });
  StopSender sender = receiver.sender();
  EXPECT_TRUE(sender.send());
  waiter.join();
  EXPECT_TRUE(woke);
  EXPECT_EQ(receiver.messages(), 1u);
}

TEST(StopChannel, LastSenderGoneWakesTheReceiver) {
  StopReceiver receiver;
  std::optional<StopSender> a(receiver.sender());
  std::optional<StopSender> b(*a);  // a copy is one more sender
  std::thread waiter([&] { receiver.wait(); });
  a.reset();
  b.reset();
  waiter.join();
  EXPECT_EQ(receiver.messages(), 0u);
}

TEST(StopChannel, MessagesPostedBeforeTheWaitAreKept) {
  StopReceiver receiver;
  StopSender sender = receiver.sender();
  EXPECT_TRUE(sender.send());
  EXPECT_TRUE(sender.send());
  receiver.wait();  // returns at once
  EXPECT_EQ(receiver.messages(), 2u);
}

TEST(StopChannel, SendAfterTheReceiverIsGoneFails) {
  std::optional<StopReceiver> receiver(std::in_place);
  StopSender sender = receiver->sender();
  receiver.reset();
  EXPECT_FALSE(sender.send());
}

TEST(StopChannel, MovedFromSenderNeitherSendsNorCounts) {
  StopReceiver receiver;
  StopSender first = receiver.sender();
  StopSender second(std::move(first));
  EXPECT_FALSE(first.send());  // NOLINT(bugprone-use-after-move)
  EXPECT_TRUE(second.send());
  EXPECT_EQ(receiver.messages(), 1u);
}

}  // namespace
}  // namespace velk
