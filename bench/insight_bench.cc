// Cost of the insight rules and records per change event: document text, rule model, cluster id
// and the two records' JSON, for documents of a few sizes. Prints measurements; not run by ctest.
#include <chrono>
#include <cstdio>
#include <string>

#include "ai/records.h"
#include "ai/rules.h"
#include "hasher.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string json_doc(std::size_t members) {
  std::string doc = "{";
  for (std::size_t i = 0; i < members; ++i) {
    if (i) doc += ',';
    doc += "\"field" + std::to_string(i) + "\":";
    doc += i % 3 == 0 ? "\"upstream timeout on retry\"" : i % 3 == 1 ? "12.5" : "[true,null,\"disk\"]";
  }
  return doc + "}";
}

}  // namespace

int main() {
  using namespace quenlordb;
  const FnvMixHasher hasher;
  auto clock = [] { return std::uint64_t{1'700'000'000'000}; };
  struct Case {
    const char* name;
    std::string doc;
    int events;
  };
  const Case cases[] = {
      {"small json (1 member)", R"({"msg":"Payment refund FAILED"})", 200000},
      {"json, 40 members", json_doc(40), 50000},
      {"plain text, 64 KiB", std::string(64 << 10, 'x') + " error", 2000},
  };
  for (const Case& c : cases) {
    std::size_t bytes = 0;
    const auto start = Clock::now();
    for (int i = 0; i < c.events; ++i) {
      const engine::ChangeEvent event{"key" + std::to_string(i), c.doc, static_cast<std::uint64_t>(i + 1), 0, 100};
      const ai::AiInsight insight = *ai::build_insight(event, hasher, clock);
      bytes += ai::to_json(insight).size() + ai::to_json(ai::correlation_of(insight)).size();
    }
    const double s = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("%-24s %8.0f ns/event (%zu doc bytes, %zu record bytes/event)\n", c.name, s / c.events * 1e9,
                c.doc.size(), bytes / static_cast<std::size_t>(c.events));
  }
  return 0;
}
