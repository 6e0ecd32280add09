#include "util/log.h"

#include <atomic>

namespace quenlordb::util {

namespace {
std::atomic<LogSink> g_sink{nullptr};
}

void set_log_sink(LogSink sink) { g_sink.store(sink, std::memory_order_release); }

bool log_enabled() { return g_sink.load(std::memory_order_acquire) != nullptr; }

void log_event(LogLevel level, std::string_view text) {
  if (LogSink sink = g_sink.load(std::memory_order_acquire)) sink(level, text);
}

}  // namespace quenlordb::util
