// Lets GoogleTest print SqlValue in failure messages.
#pragma once

#include <ostream>

#include "sql/eval/sql_value.h"

namespace quenlordb::sql::eval {

inline void PrintTo(const SqlValue& v, std::ostream* os) { *os << debug_text(v); }

}  // namespace quenlordb::sql::eval
