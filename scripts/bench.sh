#!/usr/bin/env bash
# Builds the agent and its benchmarks (Release, in build-bench) and prints the
# measurements as one markdown table. Takes about three minutes; see docs/performance.md.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

packages=(libbenchmark-dev libplist-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DDOCK_RESTORE_TESTS=OFF -DDOCK_RESTORE_BENCHMARKS=ON >/dev/null
cmake --build build-bench >/dev/null

# The agent's `killall Dock` reaches every process named Dock on the machine; in a
# PID namespace of their own the benchmarks neither disturb nor get disturbed by
# anything else running a stand-in Dock (the end-to-end tests do).
isolate=()
if unshare --pid --fork --mount-proc true 2>/dev/null; then
  isolate=(unshare --pid --fork --mount-proc)
elif unshare --user --map-root-user --pid --fork --mount-proc true 2>/dev/null; then
  isolate=(unshare --user --map-root-user --pid --fork --mount-proc)
else
  echo "bench.sh: no private PID namespace; killall Dock may reach other stand-ins" >&2
fi
"${isolate[@]}" python3 -B bench/run_benchmarks.py build-bench
echo
echo "What begin and end cost the caller, and a recovery run with nothing stale:"
"${isolate[@]}" build-bench/bench/owner_cycle_bench build-bench/dock-restore-agent 200 \
  build-bench/dock-restore-recover

# What `await dock.begin()` costs the main thread, through the Swift interface built
# against the installed library, as the Swift lane of scripts/test.sh builds it.
if swiftc=$(command -v swiftc); then
  swift_bench=$(mktemp -d)
  trap 'rm -rf "$swift_bench"' EXIT
  cmake --install build-bench --prefix "$swift_bench/prefix" >/dev/null
  PKG_CONFIG_PATH=$(dirname "$(find "$swift_bench/prefix" -name dock-restore.pc)")
  export PKG_CONFIG_PATH
  libdir=$(pkg-config --variable=libdir dock-restore)
  flags=(-O -swift-version 6 -I "$(pkg-config --variable=includedir dock-restore)" -L "$libdir"
         -Xlinker -rpath -Xlinker "$libdir" -I "$swift_bench" -L "$swift_bench" -Xlinker -rpath -Xlinker "$swift_bench")
  (cd "$swift_bench" && "$swiftc" -emit-library -emit-module -module-name DockRestore "${flags[@]}" \
    "$OLDPWD"/Sources/DockRestore/*.swift)
  "$swiftc" "${flags[@]}" -lDockRestore bench/async_begin_bench.swift -o "$swift_bench/async_begin_bench"
  echo
  echo "What await dock.begin() costs the main thread:"
  "${isolate[@]}" "$swift_bench/async_begin_bench" build-bench/dock-restore-agent 200
fi
