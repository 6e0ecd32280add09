#include "support/fault_hook.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>

namespace quenlordb::testing {

bool current_thread_name_starts_with(std::string_view prefix) {
  if (prefix.empty()) return true;
  char name[32] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  return std::string_view(name).starts_with(prefix);
}

bool FileMatch::matches(util::FileOp call_op, util::FaultPhase call_phase, const std::string& path) const {
  return op == call_op && phase == call_phase && path.find(path_part) != std::string::npos &&
         current_thread_name_starts_with(thread_name);
}

void FaultRules::arm(std::vector<FaultRule> rules) {
  std::lock_guard lock(mu_);
  rules_.clear();
  for (FaultRule& rule : rules) rules_.emplace_back(std::move(rule));
}

bool FaultRules::fired(std::size_t index) const {
  std::lock_guard lock(mu_);
  return index < rules_.size() && rules_[index].acted >= rules_[index].rule.times;
}

int FaultRules::apply(util::FileOp op, util::FaultPhase phase, const std::string& path, std::size_t* len,
                      std::function<void()>& call) {
  std::lock_guard lock(mu_);
  for (State& r : rules_) {
    if (!r.short_path.empty()) {
      if (op != util::FileOp::Write || phase != util::FaultPhase::Before || path != r.short_path) continue;
      r.short_path.clear();
      ++r.acted;
      if (r.rule.action == FaultRule::Action::ShortThenKill) ::raise(SIGKILL);
      return r.rule.error;
    }
    if (r.acted >= r.rule.times) continue;
    if (r.rule.after && !r.after_seen) {
      if (r.rule.after->matches(op, phase, path)) r.after_seen = true;
      continue;
    }
    if (!r.rule.match.matches(op, phase, path) || ++r.count < r.rule.nth) continue;
    switch (r.rule.action) {
      case FaultRule::Action::Kill:
        ::raise(SIGKILL);
        break;
      case FaultRule::Action::Fail:
        ++r.acted;
        return r.rule.error;
      case FaultRule::Action::Call:
        ++r.acted;
        call = r.rule.call;
        return 0;
      case FaultRule::Action::Decide:
        ++r.acted;
        return r.rule.decide(len);
      case FaultRule::Action::ShortThenKill:
      case FaultRule::Action::ShortThenFail:
        if (len != nullptr && *len > 1) {
          *len /= 2;
          r.short_path = path;
          return 0;
        }
        ++r.acted;
        if (r.rule.action == FaultRule::Action::ShortThenKill) ::raise(SIGKILL);
        return r.rule.error;
    }
  }
  return 0;
}

namespace {

// Never destroyed: an engine thread may still be inside the hook while a test ends.
FaultRules& scoped_rules() {
  static FaultRules* rules = new FaultRules;
  return *rules;
}

std::atomic<bool> g_scoped_hook_active{false};

int scoped_hook(util::FileOp op, util::FaultPhase phase, const std::string& path, std::size_t* len) {
  std::function<void()> call;
  const int result = scoped_rules().apply(op, phase, path, len, call);
  if (call) call();
  return result;
}

}  // namespace

ScopedFaultHook::ScopedFaultHook(std::vector<FaultRule> rules) {
  if (g_scoped_hook_active.exchange(true)) ADD_FAILURE() << "a ScopedFaultHook is already active";
  scoped_rules().arm(std::move(rules));
  util::set_fault_hook(scoped_hook);
}

ScopedFaultHook::~ScopedFaultHook() {
  util::set_fault_hook(nullptr);
  scoped_rules().arm({});
  g_scoped_hook_active.store(false);
}

bool ScopedFaultHook::fired(std::size_t index) const { return scoped_rules().fired(index); }

}  // namespace quenlordb::testing
