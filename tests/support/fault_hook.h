// Faults injected through the file layer's hook (util/file.h), as rules: which calls a rule matches
// (FileMatch) and what it does to the nth of them (FaultRule). A test arms rules with a
// ScopedFaultHook, which removes the hook when it goes out of scope, so a failed assertion never
// leaves a fault behind for later tests; the crash harness's child applies the same rules with
// hooks of its own (support/crash_harness.h).
#pragma once

#include <cerrno>
#include <climits>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/file.h"

namespace quenlordb::testing {

// Whether the calling thread's name begins with prefix (engine threads: "quenlordb-shard" and
// "quenlordb-group", the names cut to the system's 15 bytes). An empty prefix matches every thread.
bool current_thread_name_starts_with(std::string_view prefix);

// The calls a rule counts: of one operation in one phase, on a path containing path_part.
struct FileMatch {
  FileMatch(util::FileOp op, util::FaultPhase phase, std::string path_part, std::string thread_name = {})
      : op(op), phase(phase), path_part(std::move(path_part)), thread_name(std::move(thread_name)) {}

  bool matches(util::FileOp call_op, util::FaultPhase call_phase, const std::string& path) const;

  util::FileOp op;
  util::FaultPhase phase;
  std::string path_part;    // the call's path contains this
  std::string thread_name;  // when set: only calls from threads whose name starts with this
};

// A fault applied to the nth call that matches (and, with `times`, to the ones after it). Counting
// starts when the rule is armed, and, with `after`, only once a call matching `after` has succeeded.
struct FaultRule {
  enum class Action : std::uint8_t {
    Kill,           // raise(SIGKILL) (in phase Before: the call never runs; After: it has succeeded)
    Fail,           // the call fails with `error` (phase Before only)
    ShortThenKill,  // a write: half of it is written, the process dies at the retry for the rest
    ShortThenFail,  // a write: half of it is written, the retry fails with `error`
    Call,           // runs `call` on the calling thread (e.g. to hold an engine thread at this point)
    Decide,         // `decide` gives the error number (0: none) and may lower a write's *len
  };
  // For `times`: every matching call from the nth on.
  static constexpr int kEvery = INT_MAX;

  FaultRule(FileMatch match, int nth = 1, Action action = Action::Kill, int error = EIO,
            std::optional<FileMatch> after = std::nullopt)
      : match(std::move(match)), nth(nth), action(action), error(error), after(std::move(after)) {}
  FaultRule(FileMatch match, std::function<void()> call)
      : match(std::move(match)), nth(1), action(Action::Call), error(0), call(std::move(call)) {}
  // Every matching call is decided by `decide`.
  FaultRule(FileMatch match, std::function<int(std::size_t* len)> decide)
      : match(std::move(match)), nth(1), action(Action::Decide), error(0), times(kEvery), decide(std::move(decide)) {}

  // Fails every matching call with `error`.
  static FaultRule fail_every(FileMatch match, int error) {
    FaultRule rule(std::move(match), 1, Action::Fail, error);
    rule.times = kEvery;
    return rule;
  }

  FileMatch match;
  int nth;
  Action action;
  int error;
  std::optional<FileMatch> after;
  int times = 1;  // how many matching calls it acts on, the nth and those after it
  std::function<void()> call;
  std::function<int(std::size_t* len)> decide;
};

// Armed rules and their counts. Usable from several threads at once.
class FaultRules {
 public:
  // Replaces the rules; their counts start at zero.
  void arm(std::vector<FaultRule> rules);
  // Applies the rules to one call of the file layer; returns the error number the call fails with
  // (0: none). A Call rule's function is handed back in `call`, for the caller to run without the
  // rules' lock (it may use the engine).
  int apply(util::FileOp op, util::FaultPhase phase, const std::string& path, std::size_t* len,
            std::function<void()>& call);
  // Whether the rule at this position of the last arm() has acted (all its `times`, for a rule that
  // acts more than once).
  bool fired(std::size_t index) const;

 private:
  struct State {
    explicit State(FaultRule r) : rule(std::move(r)) {}

    FaultRule rule;
    int count = 0;
    int acted = 0;
    bool after_seen = false;
    std::string short_path;  // a short write was made here; the retry gets the follow-up
  };

  mutable std::mutex mu_;
  std::vector<State> rules_;
};

// Arms rules for the life of this object: installs the file layer's hook, and removes it (and
// disarms the rules) on destruction. One at a time; not for the crash harness's child.
class ScopedFaultHook {
 public:
  explicit ScopedFaultHook(std::vector<FaultRule> rules);
  ScopedFaultHook(const ScopedFaultHook&) = delete;
  ScopedFaultHook& operator=(const ScopedFaultHook&) = delete;
  ~ScopedFaultHook();

  bool fired(std::size_t index) const;
};

}  // namespace quenlordb::testing
