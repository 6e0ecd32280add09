// The result of one SQL statement, as the executor returns it and the Python binding converts it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "sql/exec/row_list.h"

namespace quenlordb::sql::exec {

struct SqlResult {
  // A statement that changed something (or nothing): the count it reports, the commit timestamp of
  // the write it reports if any, and a message.
  struct Affected {
    std::uint64_t rows = 0;
    std::optional<std::uint64_t> commit_ts;
    std::string message;

    friend bool operator==(const Affected&, const Affected&) = default;
  };
  // Output rows in order; as a rule each holds one JSON text. Rows marked text hold plain text
  // (the names SHOW TABLES lists), never to be read as JSON.
  struct Rows {
    RowList rows;
    bool text = false;

    friend bool operator==(const Rows&, const Rows&) = default;
  };
  // An explanation text.
  struct Explain {
    std::string text;

    friend bool operator==(const Explain&, const Explain&) = default;
  };

  std::variant<Affected, Rows, Explain> value;

  friend bool operator==(const SqlResult&, const SqlResult&) = default;
};

}  // namespace quenlordb::sql::exec
