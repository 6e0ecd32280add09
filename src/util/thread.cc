#include "util/thread.h"

#include <pthread.h>

#include <exception>

namespace quenlordb::util {

void set_current_thread_name(const std::string& name) {
  constexpr std::size_t kMaxThreadNameBytes = 15;
  const std::string cut = name.substr(0, kMaxThreadNameBytes);
  pthread_setname_np(pthread_self(), cut.c_str());
}

HelperThread::~HelperThread() {
  if (joinable_) std::terminate();
}

void HelperThread::join() {
  if (!joinable_) return;
  pthread_join(handle_, nullptr);
  joinable_ = false;
}

int HelperThread::start(std::size_t stack_bytes, void* (*run)(void*), void* arg) {
  pthread_attr_t attr;
  if (const int error = pthread_attr_init(&attr); error != 0) return error;
  int error = pthread_attr_setstacksize(&attr, stack_bytes);
  if (error == 0) error = pthread_create(&handle_, &attr, run, arg);
  pthread_attr_destroy(&attr);
  joinable_ = error == 0;
  return error;
}

}  // namespace quenlordb::util
