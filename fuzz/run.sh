#!/bin/sh
# Builds the libFuzzer targets in build-fuzz/ and runs each for a bounded time: the SQL front end on
# the seed corpus in fuzz/corpus/ (valid statements from the tests), and SQL execution through
# Database::sql on the same seeds and fuzz/sql_corpus/ (scripts over its small database). Fails on any crash, sanitizer
# report, leak, timeout or out-of-memory; the input that caused it is left in build-fuzz/artifacts/.
#
#   fuzz/run.sh              build and run (FUZZ_SECONDS, default 60)
#   fuzz/run.sh --compiler   print the clang++ it would use; fails when there is none
#
# The compiler is $FUZZ_CXX, or else the newest clang++-N (N >= 16) on PATH: libstdc++ 12 needs
# clang 16 or later for the C++23 library parts the sources use.
set -eu
cd "$(dirname "$0")/.."

find_compiler() {
  if [ -n "${FUZZ_CXX:-}" ]; then
    command -v "$FUZZ_CXX" && return 0
    return 1
  fi
  for v in 21 20 19 18 17 16; do
    command -v "clang++-$v" && return 0
  done
  return 1
}

if [ "${1:-}" = "--compiler" ]; then
  find_compiler
  exit
fi

CXX=$(find_compiler) || { echo "fuzz: no clang++ 16 or later found (set FUZZ_CXX)" >&2; exit 1; }
SECONDS_TO_RUN=${FUZZ_SECONDS:-60}
SQL_SECONDS_TO_RUN=${FUZZ_SQL_SECONDS:-60}
BUILD=build-fuzz

cmake -S fuzz -B "$BUILD" -G Ninja -DCMAKE_CXX_COMPILER="$CXX" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD"

# New inputs go to a scratch corpus so that the seeds in the repository stay as they are.
mkdir -p "$BUILD/corpus" "$BUILD/sql-corpus" "$BUILD/artifacts"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
if SYMBOLIZER=$(command -v llvm-symbolizer); then export ASAN_SYMBOLIZER_PATH="$SYMBOLIZER"; fi
echo "fuzz: running parse_sql_fuzz for ${SECONDS_TO_RUN}s with $CXX"
"$BUILD/parse_sql_fuzz" "$BUILD/corpus" fuzz/corpus \
  -dict=fuzz/sql.dict -max_total_time="$SECONDS_TO_RUN" -timeout=10 -rss_limit_mb=2048 -max_len=16384 \
  -artifact_prefix="$BUILD/artifacts/" -print_final_stats=1
echo "fuzz: running sql_script_fuzz for ${SQL_SECONDS_TO_RUN}s with $CXX"
"$BUILD/sql_script_fuzz" "$BUILD/sql-corpus" fuzz/sql_corpus fuzz/corpus \
  -dict=fuzz/sql.dict -max_total_time="$SQL_SECONDS_TO_RUN" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
  -artifact_prefix="$BUILD/artifacts/" -print_final_stats=1
