#!/bin/sh
# Runs the mixed benchmark on quenlordb and on LevelDB, one after the other on this machine, and
# prints quenlordb's figures as ratios of LevelDB's, with the latency goal's verdict.
#
#   bench/run_mixed_bench.sh [SECONDS] [PRELOAD]
#
# PRELOAD documents (default 200000) are put, then for SECONDS (default 30) one thread puts new keys
# at full speed while another times each get of a preloaded key (bench/mixed_workload.h). The
# LevelDB side (bench/mixed_peer.cc) is built into the build directory; it needs libleveldb-dev,
# installed with apt-get when missing. Not part of `make test`.
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
SECONDS_RUN=${1:-30}
PRELOAD=${2:-200000}
WORK=${BENCH_DIR:-${TMPDIR:-/tmp}/quenlordb-mixed-bench-$$}

if ! dpkg -s libleveldb-dev >/dev/null 2>&1; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  echo "run_mixed_bench: installing libleveldb-dev" >&2
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends libleveldb-dev
fi

cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUENLORDB_BENCH=ON >/dev/null
cmake --build "$BUILD_DIR" --target mixed_bench >/dev/null
PEER="$BUILD_DIR/bench/mixed_peer"
if [ ! -x "$PEER" ] || [ "$ROOT/bench/mixed_peer.cc" -nt "$PEER" ] || [ "$ROOT/bench/mixed_workload.h" -nt "$PEER" ]; then
  g++ -O2 -std=c++17 -pthread "$ROOT/bench/mixed_peer.cc" -o "$PEER" -lleveldb
fi

mkdir -p "$WORK"
trap 'rm -rf "$WORK"' EXIT INT TERM
OUT="$WORK/results.txt"
"$BUILD_DIR/bench/mixed_bench" --dir "$WORK/quenlordb" --preload "$PRELOAD" --seconds "$SECONDS_RUN" | tee "$OUT"
"$PEER" --dir "$WORK/leveldb" --preload "$PRELOAD" --seconds "$SECONDS_RUN" | tee -a "$OUT"

# Ratios quenlordb / LevelDB: above 1 is faster for rates, slower for times.
awk '
  function field(line, name,   i, parts, kv) {
    split(line, parts, " ")
    for (i in parts) { split(parts[i], kv, "="); if (kv[1] == name) return kv[2] }
    return ""
  }
  function ratio(name) { return field(p, name) == 0 ? 0 : field(q, name) / field(p, name) }
  $1 == "quenlordb" { q = $0 }
  $1 == "leveldb" { p = $0 }
  END {
    printf "ratio quenlordb/leveldb gets_s=%.2f puts_s=%.2f p50=%.2f p99=%.2f p999=%.2f p9999=%.2f max_get=%.2f longest_put=%.2f\n",
      ratio("gets_s"), ratio("puts_s"), ratio("p50_us"), ratio("p99_us"), ratio("p999_us"), ratio("p9999_us"),
      ratio("max_get_ms"), ratio("longest_put_ms")
    slow_ok = field(q, "gets_over_10ms") <= field(p, "gets_over_10ms") + 5
    max_ok = field(q, "max_get_ms") < 30
    p999_ok = field(q, "p999_us") <= field(p, "p999_us")
    printf "goal gets_over_10ms<=leveldb+5:%s max_get<30ms:%s p999<=leveldb:%s\n",
      slow_ok ? "met" : "missed", max_ok ? "met" : "missed", p999_ok ? "met" : "missed"
  }' "$OUT"
