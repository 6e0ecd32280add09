#include "util/thread.h"

#include <pthread.h>

namespace quenlordb::util {

void set_current_thread_name(const std::string& name) {
  constexpr std::size_t kMaxThreadNameBytes = 15;
  const std::string cut = name.substr(0, kMaxThreadNameBytes);
  pthread_setname_np(pthread_self(), cut.c_str());
}

}  // namespace quenlordb::util
