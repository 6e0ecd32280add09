// Structured log events raised by the engine (an informational one after each compaction step, two
// errors from the group-commit thread). No sink is installed by default, so events are discarded;
// tests install a sink to capture the texts.
#pragma once

#include <string_view>

namespace quenlordb::util {

enum class LogLevel { Info, Error };

// Called from whichever engine thread raises the event; must be thread-safe and must not call back
// into the engine.
using LogSink = void (*)(LogLevel level, std::string_view text);

void set_log_sink(LogSink sink);
bool log_enabled();
void log_event(LogLevel level, std::string_view text);

}  // namespace quenlordb::util
