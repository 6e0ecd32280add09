#include "util/channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace quenlordb::util {
namespace {

using namespace std::chrono_literals;

// Gives a thread that is about to block a moment to do so; correctness never depends on it.
void let_block() { std::this_thread::sleep_for(20ms); }

TEST(ChannelTest, DeliversInSendOrderAcrossInterleavedSendsAndReceives) {
  auto [tx, rx] = make_channel<int>();
  int next = 0;
  for (int i = 0; i < 3000; ++i) {
    ASSERT_TRUE(tx.send(i));
    if (i % 3 == 0) {
      ASSERT_EQ(rx.recv().value(), next++);
    }
  }
  while (next < 3000) ASSERT_EQ(rx.try_recv().value(), next++);
  EXPECT_EQ(rx.try_recv().error(), RecvError::Empty);
}

TEST(ChannelTest, DisconnectsForTheReceiverOnlyAfterEverySenderIsGoneAndTheQueueIsDrained) {
  auto [tx, rx] = make_channel<std::string>();
  std::optional<Sender<std::string>> copy(tx);
  ASSERT_TRUE(tx.send("a"));
  { Sender<std::string> gone = std::move(tx); }
  EXPECT_EQ(rx.try_recv().value(), "a");
  EXPECT_EQ(rx.try_recv().error(), RecvError::Empty);  // the copy still lives
  ASSERT_TRUE(copy->send("b"));
  copy.reset();
  EXPECT_EQ(rx.recv().value(), "b");
  EXPECT_EQ(rx.recv().error(), RecvError::Disconnected);
  EXPECT_EQ(rx.try_recv().error(), RecvError::Disconnected);
  EXPECT_EQ(rx.recv_until(std::chrono::steady_clock::now() + 1h).error(), RecvError::Disconnected);
  EXPECT_EQ(rx.recv_or_closed().error().kind(), ErrorKind::ChannelClosed);
}

TEST(ChannelTest, SendToADroppedReceiverHandsTheValueBack) {
  auto [tx, rx] = make_channel<std::unique_ptr<int>>();
  { Receiver<std::unique_ptr<int>> gone = std::move(rx); }
  auto value = std::make_unique<int>(7);
  int* raw = value.get();
  auto r = tx.send(std::move(value));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().get(), raw);
  EXPECT_EQ(tx.send_or_closed(nullptr).error().kind(), ErrorKind::ChannelClosed);
}

TEST(ChannelTest, ManyProducersDeliverEveryMessageExactlyOnceInEachProducersOrder) {
  constexpr int kProducers = 4;
  constexpr int kPerProducer = 20000;
  for (const bool bounded : {false, true}) {
    auto [tx, rx] = bounded ? make_bounded_channel<std::int64_t>(1) : make_channel<std::int64_t>();
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
      producers.emplace_back([p, sender = tx] {
        for (int i = 0; i < kPerProducer; ++i) ASSERT_TRUE(sender.send(std::int64_t{p} * kPerProducer + i));
      });
    }
    { Sender<std::int64_t> mine = std::move(tx); }
    std::vector<int> next(kProducers, 0);
    int received = 0;
    while (auto m = rx.recv()) {
      const int p = static_cast<int>(*m / kPerProducer);
      ASSERT_EQ(*m % kPerProducer, next[p]) << "producer " << p << (bounded ? " bounded" : " unbounded");
      ++next[p];
      ++received;
    }
    for (auto& t : producers) t.join();
    EXPECT_EQ(received, kProducers * kPerProducer);
  }
}

TEST(ChannelTest, BoundedSendBlocksWhileFull) {
  auto [tx, rx] = make_bounded_channel<int>(1);
  ASSERT_TRUE(tx.send(1));
  std::atomic<bool> second_sent = false;
  std::thread sender([&, &tx = tx] {
    EXPECT_TRUE(tx.send(2));
    second_sent = true;
  });
  let_block();
  EXPECT_FALSE(second_sent);
  EXPECT_EQ(rx.recv().value(), 1);
  sender.join();
  EXPECT_TRUE(second_sent);
  EXPECT_EQ(rx.try_recv().value(), 2);
}

TEST(ChannelTest, BlockedCallsWakeOnDisconnection) {
  {  // a receiver blocked on an empty channel, when the last sender goes
    auto [tx, rx] = make_channel<int>();
    std::thread receiver([&, &rx = rx] { EXPECT_EQ(rx.recv().error(), RecvError::Disconnected); });
    let_block();
    { Sender<int> gone = std::move(tx); }
    receiver.join();
  }
  {  // a sender blocked on a full bounded channel, when the receiver goes; it gets its value back
    auto [tx, rx] = make_bounded_channel<int>(1);
    ASSERT_TRUE(tx.send(1));
    std::thread sender([&, &tx = tx] {
      auto r = tx.send(2);
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error(), 2);
    });
    let_block();
    { Receiver<int> gone = std::move(rx); }
    sender.join();
  }
}

// A request carrying its own reply channel, as a requester hands it to a serving thread.
struct Request {
  Sender<Result<std::uint64_t>> reply;
};

TEST(ChannelTest, DroppingTheReceiverReleasesReplySendersOfQueuedMessages) {
  auto [requests_tx, requests_rx] = make_channel<Request>();
  std::atomic<bool> queued = false;
  std::thread requester([&, &requests_tx = requests_tx] {
    auto [reply_tx, reply_rx] = make_bounded_channel<Result<std::uint64_t>>(1);
    ASSERT_TRUE(requests_tx.send(Request{std::move(reply_tx)}));
    queued = true;
    EXPECT_EQ(reply_rx.recv_or_closed().error().kind(), ErrorKind::ChannelClosed);
  });
  while (!queued) std::this_thread::yield();
  let_block();
  { Receiver<Request> gone = std::move(requests_rx); }  // the request is never served
  requester.join();
}

// A message that owns a Sender of the channel it is queued in.
struct SelfRef {
  Sender<SelfRef> back;
};

TEST(ChannelTest, DroppingTheReceiverDestroysMessagesHoldingItsOwnSenders) {
  auto [tx, rx] = make_channel<SelfRef>();
  ASSERT_TRUE(tx.send(SelfRef{tx}));
  ASSERT_TRUE(tx.send(SelfRef{tx}));
  { Receiver<SelfRef> gone = std::move(rx); }  // must not deadlock on the channel's own lock
  EXPECT_FALSE(tx.send(SelfRef{tx}));
}

TEST(ChannelTest, RecvUntilTimesOutButTakesAQueuedMessagePastTheDeadline) {
  auto [tx, rx] = make_channel<int>();
  const auto deadline = std::chrono::steady_clock::now() + 20ms;
  EXPECT_EQ(rx.recv_until(deadline).error(), RecvError::Timeout);
  EXPECT_GE(std::chrono::steady_clock::now(), deadline);
  ASSERT_TRUE(tx.send(5));
  EXPECT_EQ(rx.recv_until(deadline).value(), 5);
}

TEST(SelectTest, TakesEitherReadySideWithEqualChance) {
  constexpr int kRounds = 2000;
  auto [ints_tx, ints] = make_channel<int>();
  auto [texts_tx, texts] = make_channel<std::string>();
  for (int i = 0; i < kRounds; ++i) {
    ASSERT_TRUE(ints_tx.send(i));
    ASSERT_TRUE(texts_tx.send(std::to_string(i)));
  }
  int firsts = 0, seconds = 0;
  for (int round = 0; round < kRounds; ++round) {
    auto r = select(ints, texts);
    if (r.which == Selected::First) {
      ASSERT_EQ(r.first, firsts++);
    } else {
      ASSERT_EQ(r.which, Selected::Second);
      ASSERT_EQ(r.second, std::to_string(seconds++));
    }
  }
  // Binomial(2000, 1/2) has a standard deviation of about 22; a side with priority would win all.
  EXPECT_GT(firsts, 800);
  EXPECT_GT(seconds, 800);
}

TEST(SelectTest, AChooserDecidesBetweenReadySidesOnly) {
  auto [a_tx, a_rx] = make_channel<int>();
  auto [b_tx, b_rx] = make_channel<int>();
  int asked = 0;
  bool take_second = false;
  auto chooser = [&] {
    ++asked;
    return take_second;
  };
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(a_tx.send(i));
    ASSERT_TRUE(b_tx.send(10 + i));
  }
  EXPECT_EQ(select(a_rx, b_rx, chooser).first, 0);
  take_second = true;
  EXPECT_EQ(select(a_rx, b_rx, chooser).second, 10);
  EXPECT_EQ(select_until(a_rx, b_rx, std::chrono::steady_clock::now() + 1h, chooser).second, 11);
  EXPECT_EQ(select(a_rx, b_rx, chooser).second, 12);
  EXPECT_EQ(asked, 4);
  // One side ready: the chooser is not asked.
  EXPECT_EQ(select(a_rx, b_rx, chooser).first, 1);
  EXPECT_EQ(asked, 4);
}

TEST(SelectTest, WakesOnEitherChannelAndTellsDisconnectionApart) {
  struct Case {
    const char* name;
    std::function<void(std::optional<Sender<int>>&, std::optional<Sender<std::string>>&)> act;
    Selected which;
    bool has_message;
  };
  const Case cases[] = {
      {"send on the first", [](auto& a, auto&) { ASSERT_TRUE(a->send(1)); }, Selected::First, true},
      {"send on the second", [](auto&, auto& b) { ASSERT_TRUE(b->send("x")); }, Selected::Second, true},
      {"first's senders gone", [](auto& a, auto&) { a.reset(); }, Selected::First, false},
      {"second's senders gone", [](auto&, auto& b) { b.reset(); }, Selected::Second, false},
  };
  for (const Case& c : cases) {
    for (const bool with_deadline : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (with_deadline ? ", with a deadline" : ", without a deadline"));
      auto [a_tx, a_rx] = make_channel<int>();
      auto [b_tx, b_rx] = make_channel<std::string>();
      std::optional<Sender<int>> a(std::move(a_tx));
      std::optional<Sender<std::string>> b(std::move(b_tx));
      std::optional<SelectResult<int, std::string>> result;
      std::thread selector([&, &a_rx = a_rx, &b_rx = b_rx] {
        result = with_deadline ? select_until(a_rx, b_rx, std::chrono::steady_clock::now() + 1h)
                               : select(a_rx, b_rx);
      });
      let_block();
      c.act(a, b);
      selector.join();
      ASSERT_TRUE(result);
      EXPECT_EQ(result->which, c.which);
      EXPECT_EQ(result->first.has_value() || result->second.has_value(), c.has_message);
    }
  }
}

TEST(SelectTest, DeadlineTimesOutButAReadySideIsTakenPastIt) {
  auto [a_tx, a_rx] = make_channel<int>();
  auto [b_tx, b_rx] = make_bounded_channel<int>(1);
  const auto deadline = std::chrono::steady_clock::now() + 20ms;
  auto r = select_until(a_rx, b_rx, deadline);
  EXPECT_EQ(r.which, Selected::Timeout);
  EXPECT_GE(std::chrono::steady_clock::now(), deadline);
  ASSERT_TRUE(b_tx.send(9));
  r = select_until(a_rx, b_rx, deadline);
  EXPECT_EQ(r.which, Selected::Second);
  EXPECT_EQ(r.second, 9);
}

}  // namespace
}  // namespace quenlordb::util
