#!/bin/sh
# Runs the engine benchmark and the same workload on LevelDB and RocksDB, one after the other on this
# machine, and prints quenlordb's figures as ratios of the peers'.
#
#   bench/run_engine_bench.sh [N] [SYNC_N]
#
# N puts, gets and scanned rows (default 1000000); SYNC_N puts with group commit off (default N).
# The peers' program is kept outside the repository (PEERS_SRC, by default ../shared/bench/peers.cc
# beside the main checkout) and is built into the build directory. Needs libleveldb-dev and
# librocksdb-dev, installed with apt-get when missing. Not part of `make test`.
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
N=${1:-1000000}
SYNC_N=${2:-$N}
WORK=${BENCH_DIR:-${TMPDIR:-/tmp}/quenlordb-bench-$$}

find_peers_src() {
  if [ -n "${PEERS_SRC:-}" ]; then echo "$PEERS_SRC"; return; fi
  # A worktree's ../shared is not the main checkout's; ask git where the main checkout is.
  main=$(git -C "$ROOT" worktree list --porcelain 2>/dev/null | sed -n '1s/^worktree //p')
  for candidate in "$ROOT/../shared/bench/peers.cc" "${main:-$ROOT}/../shared/bench/peers.cc"; do
    if [ -f "$candidate" ]; then echo "$candidate"; return; fi
  done
  echo "run_engine_bench: peers.cc not found; set PEERS_SRC" >&2
  exit 1
}

install_peer_libraries() {
  missing=""
  for p in libleveldb-dev librocksdb-dev; do
    dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
  done
  [ -z "$missing" ] && return
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  echo "run_engine_bench: installing$missing" >&2
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
}

install_peer_libraries
PEERS_SRC=$(find_peers_src)

cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUENLORDB_BENCH=ON >/dev/null
cmake --build "$BUILD_DIR" --target engine_bench >/dev/null
mkdir -p "$BUILD_DIR/bench"
PEERS="$BUILD_DIR/bench/peers"
if [ ! -x "$PEERS" ] || [ "$PEERS_SRC" -nt "$PEERS" ]; then
  g++ -O2 -std=c++17 "$PEERS_SRC" -o "$PEERS" -lleveldb -lrocksdb
fi

mkdir -p "$WORK"
trap 'rm -rf "$WORK"' EXIT INT TERM
OUT="$WORK/results.txt"
"$BUILD_DIR/bench/engine_bench" --dir "$WORK/quenlordb" --sync-n "$SYNC_N" "$N" | tee "$OUT"
"$PEERS" leveldb "$WORK/leveldb" "$N" | tee -a "$OUT"
rm -rf "$WORK/leveldb"
"$PEERS" rocksdb "$WORK/rocksdb" "$N" | tee -a "$OUT"
rm -rf "$WORK/rocksdb"

# Ratios: quenlordb / peer for each rate (above 1 is faster), and for disk bytes (below 1 is smaller).
awk '
  function field(line, name,   i, parts, kv) {
    split(line, parts, " ")
    for (i in parts) { split(parts[i], kv, "="); if (kv[1] == name) return kv[2] }
    return ""
  }
  $1 == "quenlordb" { q = $0 }
  $1 == "quenlordb-group-commit-off" { qs = $0 }
  $1 == "leveldb" || $1 == "rocksdb" { peer[$1] = $0 }
  END {
    for (p in peer) {
      printf "ratio quenlordb/%s put=%.2f get=%.2f scan=%.2f group_commit_off_put=%.2f disk=%.2f\n", p,
        field(q, "put_ops_s") / field(peer[p], "put_ops_s"),
        field(q, "get_ops_s") / field(peer[p], "get_ops_s"),
        field(q, "scan_rows_s") / field(peer[p], "scan_rows_s"),
        field(qs, "put_ops_s") / field(peer[p], "put_ops_s"),
        field(q, "disk_bytes") / field(peer[p], "disk_bytes")
    }
  }' "$OUT"
