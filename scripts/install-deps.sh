#!/bin/sh
# Installs the Debian packages the build needs, only those that are missing.
#   scripts/install-deps.sh          what `make test` and `make demo` need
#   scripts/install-deps.sh --fuzz   the clang and sanitizer runtimes the parser fuzzer needs (CI)
set -eu

PACKAGES="cmake ninja-build g++ make liblz4-dev zlib1g-dev nlohmann-json3-dev libicu-dev libgtest-dev"
if [ "${1:-}" = "--fuzz" ]; then
  # clang 16 is the oldest clang that builds these sources against libstdc++ 12 (std::expected).
  PACKAGES="clang-16 libclang-rt-16-dev"
fi

missing=""
for p in $PACKAGES; do
  dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null 2>&1 || { echo "install-deps: need root or sudo to install:$missing" >&2; exit 1; }
  SUDO="sudo"
fi
echo "install-deps: installing$missing"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
