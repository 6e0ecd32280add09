// Channels between threads: a multi-producer, single-consumer queue of messages of one type, in an
// unbounded flavour and a bounded one (senders block while it is full), and a select that waits on two
// receivers at once.
//
// Contract: a Sender may be copied freely, and one Sender (or several copies) may be used from any
// number of threads at once. A Receiver is move-only and used by one thread at a time. The receiver
// sees the channel disconnected once every Sender is gone and the queue is drained; senders see it
// disconnected once the Receiver is gone. Dropping the Receiver destroys every queued message at once
// (so a reply Sender carried inside a queued message is released and its requester stops waiting)
// and wakes every blocked sender. A moved-from Sender or Receiver behaves as disconnected.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "error.h"
#include "util/function_ref.h"

namespace quenlordb::util {

enum class RecvError : std::uint8_t {
  Empty,         // try_recv: nothing queued, senders still alive
  Timeout,       // recv_until: the deadline passed with nothing queued
  Disconnected,  // nothing queued and every Sender is gone
};

using Deadline = std::chrono::steady_clock::time_point;

template <typename T>
class Sender;
template <typename T>
class Receiver;
namespace detail {
struct ReceiverAccess;
}

// A channel without a bound: send never blocks.
template <typename T>
std::pair<Sender<T>, Receiver<T>> make_channel();

// A channel holding at most `capacity` (at least 1) messages: send blocks while it is full.
template <typename T>
std::pair<Sender<T>, Receiver<T>> make_bounded_channel(std::size_t capacity);

template <typename T>
class Sender {
 public:
  Sender(const Sender& other);
  Sender(Sender&& other) noexcept : state_(std::move(other.state_)) {}
  Sender& operator=(Sender other) noexcept {
    std::swap(state_, other.state_);
    return *this;
  }
  ~Sender() { release(); }

  // Queues the value, blocking while a bounded channel is full. Fails, handing the value back, when
  // the Receiver is gone (also when it goes while this call waits).
  std::expected<void, T> send(T value) const;

  // send() with the failure reported as QuenlorError::channel_closed().
  Result<void> send_or_closed(T value) const {
    if (!send(std::move(value))) return fail(QuenlorError::channel_closed());
    return {};
  }

 private:
  template <typename U>
  friend std::pair<Sender<U>, Receiver<U>> make_bounded_channel(std::size_t capacity);
  template <typename U>
  friend std::pair<Sender<U>, Receiver<U>> make_channel();
  using State = typename Receiver<T>::State;
  explicit Sender(std::shared_ptr<State> state) : state_(std::move(state)) {}
  void release() noexcept;

  std::shared_ptr<State> state_;
};

template <typename T>
class Receiver {
 public:
  Receiver(Receiver&&) noexcept = default;
  Receiver& operator=(Receiver&& other) noexcept {
    if (this != &other) {
      release();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  ~Receiver() { release(); }

  // Takes the oldest message, blocking while the queue is empty and a Sender is alive.
  // Error: Disconnected.
  std::expected<T, RecvError> recv();
  // Takes the oldest message without blocking. Errors: Empty, Disconnected.
  std::expected<T, RecvError> try_recv();
  // recv() that gives up at the deadline; a queued message is taken even when the deadline has
  // passed. Errors: Timeout, Disconnected.
  std::expected<T, RecvError> recv_until(Deadline deadline);

  // recv() with disconnection reported as QuenlorError::channel_closed().
  Result<T> recv_or_closed() {
    auto r = recv();
    if (!r) return fail(QuenlorError::channel_closed());
    return std::move(*r);
  }

 private:
  struct State;
  friend class Sender<T>;
  friend struct detail::ReceiverAccess;
  template <typename U>
  friend std::pair<Sender<U>, Receiver<U>> make_bounded_channel(std::size_t capacity);
  template <typename U>
  friend std::pair<Sender<U>, Receiver<U>> make_channel();
  explicit Receiver(std::shared_ptr<State> state) : state_(std::move(state)) {}
  void release() noexcept;
  std::expected<T, RecvError> take(std::unique_lock<std::mutex>& lock);

  std::shared_ptr<State> state_;
};

// Which receiver a select took, or that its deadline passed first.
enum class Selected : std::uint8_t { First, Second, Timeout };

template <typename A, typename B>
struct SelectResult {
  Selected which;
  std::optional<A> first;   // which == First: the message, or empty when the first channel is disconnected
  std::optional<B> second;  // which == Second: likewise for the second channel
};

// Decides which receiver a select takes when both are ready: true takes the second. Called on the
// selecting thread, once per such wait.
using ReadyChooser = FunctionRef<bool()>;

// An unbiased random bit from a per-thread generator: the select's choice when none is given.
bool coin_flip();

// Waits until either receiver is ready (holds a message or is disconnected) and takes from it. When
// both are ready, each is taken with equal chance; neither has priority. The wait is woken by a send
// or the last sender's departure on either channel, never by polling.
template <typename A, typename B>
SelectResult<A, B> select(Receiver<A>& first, Receiver<B>& second);

// select() that gives up at the deadline (which == Timeout). A ready receiver is taken even when the
// deadline has passed.
template <typename A, typename B>
SelectResult<A, B> select_until(Receiver<A>& first, Receiver<B>& second, Deadline deadline);

// The same with the choice between two ready receivers made by `take_second` (tests force a side).
template <typename A, typename B>
SelectResult<A, B> select(Receiver<A>& first, Receiver<B>& second, ReadyChooser take_second);
template <typename A, typename B>
SelectResult<A, B> select_until(Receiver<A>& first, Receiver<B>& second, Deadline deadline, ReadyChooser take_second);

// ---------------------------------------------------------------------------------------------------
// Implementation.

namespace detail {

// Wakes a thread blocked in select(). It lives on that thread's stack and is registered with both
// channels while the thread waits; a channel notifies it while holding its own mutex, so the waiter
// cannot be unregistered (and destroyed) during the notification. Lock order: channel, then waiter.
class SelectWaiter {
 public:
  void notify();
  // Returns when notified or at the deadline (none: no limit).
  void wait(const std::optional<Deadline>& deadline);
  void reset();

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool notified_ = false;
};

// FIFO that keeps a lone message inline, so a channel that seldom holds more than one message (a
// reply channel, a command channel that keeps up) does not allocate. Invariant: the inline slot, when
// full, is older than every message in the overflow deque (it is filled only while the deque is empty).
template <typename T>
class MessageQueue {
 public:
  bool empty() const { return !head_ && rest_empty(); }
  std::size_t size() const { return (head_ ? 1 : 0) + (rest_ ? rest_->size() : 0); }

  void push(T&& value) {
    if (!head_ && rest_empty()) {
      head_.emplace(std::move(value));
      return;
    }
    if (!rest_) rest_.emplace();
    rest_->push_back(std::move(value));
  }

  // Precondition: !empty().
  T pop() {
    if (head_) {
      T value = std::move(*head_);
      head_.reset();
      return value;
    }
    T value = std::move(rest_->front());
    rest_->pop_front();
    return value;
  }

  void swap(MessageQueue& other) noexcept {
    head_.swap(other.head_);
    rest_.swap(other.rest_);
  }

 private:
  bool rest_empty() const { return !rest_ || rest_->empty(); }

  std::optional<T> head_;
  std::optional<std::deque<T>> rest_;
};

}  // namespace detail

// The state one channel's Senders and Receiver share; everything below is guarded by `mu`.
template <typename T>
struct Receiver<T>::State {
  explicit State(std::size_t cap) : capacity(cap) {}

  bool ready() const { return !queue.empty() || senders == 0; }

  std::mutex mu;
  std::condition_variable not_empty;  // the receiver waits here
  std::condition_variable not_full;   // senders of a full bounded channel wait here
  detail::MessageQueue<T> queue;
  const std::size_t capacity;  // 0: unbounded
  std::size_t senders = 1;
  bool receiver_alive = true;
  detail::SelectWaiter* waiter = nullptr;  // the receiver's select, while it waits
};

template <typename T>
std::pair<Sender<T>, Receiver<T>> make_bounded_channel(std::size_t capacity) {
  if (capacity == 0) panic("a bounded channel needs a capacity of at least 1");
  auto state = std::make_shared<typename Receiver<T>::State>(capacity);
  return {Sender<T>(state), Receiver<T>(std::move(state))};
}

template <typename T>
std::pair<Sender<T>, Receiver<T>> make_channel() {
  auto state = std::make_shared<typename Receiver<T>::State>(0);
  return {Sender<T>(state), Receiver<T>(std::move(state))};
}

template <typename T>
Sender<T>::Sender(const Sender& other) : state_(other.state_) {
  if (state_) {
    std::lock_guard lock(state_->mu);
    ++state_->senders;
  }
}

template <typename T>
void Sender<T>::release() noexcept {
  if (!state_) return;
  bool last = false;
  {
    std::lock_guard lock(state_->mu);
    last = --state_->senders == 0;
    if (last && state_->waiter) state_->waiter->notify();
  }
  if (last) state_->not_empty.notify_one();
  state_.reset();
}

template <typename T>
std::expected<void, T> Sender<T>::send(T value) const {
  if (!state_) return std::expected<void, T>(std::unexpect, std::move(value));
  State& s = *state_;
  std::unique_lock lock(s.mu);
  if (s.capacity != 0) {
    s.not_full.wait(lock, [&] { return !s.receiver_alive || s.queue.size() < s.capacity; });
  }
  if (!s.receiver_alive) return std::expected<void, T>(std::unexpect, std::move(value));
  s.queue.push(std::move(value));
  if (s.waiter) s.waiter->notify();
  lock.unlock();
  s.not_empty.notify_one();
  return {};
}

template <typename T>
void Receiver<T>::release() noexcept {
  if (!state_) return;
  // The queued messages are destroyed after the mutex is released: a message may own a Sender of this
  // very channel, whose destructor takes the mutex.
  detail::MessageQueue<T> doomed;
  {
    std::lock_guard lock(state_->mu);
    state_->receiver_alive = false;
    doomed.swap(state_->queue);
  }
  state_->not_full.notify_all();
  state_.reset();
}

template <typename T>
std::expected<T, RecvError> Receiver<T>::take(std::unique_lock<std::mutex>& lock) {
  State& s = *state_;
  if (s.queue.empty()) return std::unexpected(RecvError::Disconnected);
  T value = s.queue.pop();
  const bool bounded = s.capacity != 0;
  lock.unlock();
  if (bounded) s.not_full.notify_one();
  return value;
}

template <typename T>
std::expected<T, RecvError> Receiver<T>::recv() {
  if (!state_) return std::unexpected(RecvError::Disconnected);
  std::unique_lock lock(state_->mu);
  state_->not_empty.wait(lock, [&] { return state_->ready(); });
  return take(lock);
}

template <typename T>
std::expected<T, RecvError> Receiver<T>::try_recv() {
  if (!state_) return std::unexpected(RecvError::Disconnected);
  std::unique_lock lock(state_->mu);
  if (!state_->ready()) return std::unexpected(RecvError::Empty);
  return take(lock);
}

template <typename T>
std::expected<T, RecvError> Receiver<T>::recv_until(Deadline deadline) {
  if (!state_) return std::unexpected(RecvError::Disconnected);
  std::unique_lock lock(state_->mu);
  if (!state_->not_empty.wait_until(lock, deadline, [&] { return state_->ready(); })) {
    return std::unexpected(RecvError::Timeout);
  }
  return take(lock);
}

namespace detail {

// The select's view of a receiver's state.
struct ReceiverAccess {
  // Registers (or, with nullptr, unregisters) the waiter; returns whether the receiver is ready.
  template <typename T>
  static bool set_waiter(Receiver<T>& rx, SelectWaiter* waiter) {
    if (!rx.state_) return true;
    std::lock_guard lock(rx.state_->mu);
    rx.state_->waiter = waiter;
    return rx.state_->ready();
  }

  // Takes from a ready receiver: the message, or nothing when it is disconnected.
  template <typename T>
  static std::optional<T> take_ready(Receiver<T>& rx) {
    if (!rx.state_) return std::nullopt;
    std::unique_lock lock(rx.state_->mu);
    auto r = rx.take(lock);
    if (!r) return std::nullopt;
    return std::optional<T>(std::move(*r));
  }
};

template <typename A, typename B>
SelectResult<A, B> select_impl(Receiver<A>& first, Receiver<B>& second, const std::optional<Deadline>& deadline,
                               ReadyChooser take_second) {
  SelectWaiter waiter;
  for (;;) {
    bool first_ready = ReceiverAccess::set_waiter(first, &waiter);
    bool second_ready = ReceiverAccess::set_waiter(second, &waiter);
    if (!first_ready && !second_ready) waiter.wait(deadline);
    // Readiness is read again on unregistering: it cannot be lost meanwhile, as this thread is the
    // only consumer, but it may have been gained.
    first_ready = ReceiverAccess::set_waiter(first, nullptr);
    second_ready = ReceiverAccess::set_waiter(second, nullptr);
    if (first_ready && second_ready) (take_second() ? first_ready : second_ready) = false;
    if (first_ready) return {Selected::First, ReceiverAccess::take_ready(first), std::nullopt};
    if (second_ready) return {Selected::Second, std::nullopt, ReceiverAccess::take_ready(second)};
    if (deadline && std::chrono::steady_clock::now() >= *deadline) {
      return {Selected::Timeout, std::nullopt, std::nullopt};
    }
    waiter.reset();
  }
}

}  // namespace detail

template <typename A, typename B>
SelectResult<A, B> select(Receiver<A>& first, Receiver<B>& second) {
  return detail::select_impl(first, second, std::nullopt, [] { return coin_flip(); });
}

template <typename A, typename B>
SelectResult<A, B> select_until(Receiver<A>& first, Receiver<B>& second, Deadline deadline) {
  return detail::select_impl(first, second, deadline, [] { return coin_flip(); });
}

template <typename A, typename B>
SelectResult<A, B> select(Receiver<A>& first, Receiver<B>& second, ReadyChooser take_second) {
  return detail::select_impl(first, second, std::nullopt, take_second);
}

template <typename A, typename B>
SelectResult<A, B> select_until(Receiver<A>& first, Receiver<B>& second, Deadline deadline, ReadyChooser take_second) {
  return detail::select_impl(first, second, deadline, take_second);
}

}  // namespace quenlordb::util
