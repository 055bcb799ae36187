#!/usr/bin/env bash
# Builds the agent and runs every test: once as shipped, once under AddressSanitizer
# and UndefinedBehaviorSanitizer; then fuzzes the snapshot reader for a minute.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

echo "== release build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build
ctest --test-dir build --output-on-failure -j2

echo "== sanitizer build (ASan + UBSan)"
CXX=clang++ cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DDOCK_RESTORE_SANITIZE=ON >/dev/null
cmake --build build-sanitize
ctest --test-dir build-sanitize --output-on-failure -j2

echo "== fuzzer (60 s)"
CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DDOCK_RESTORE_FUZZ=ON -DDOCK_RESTORE_TESTS=OFF >/dev/null
cmake --build build-fuzz --target snapshot_fuzzer
# New inputs go to a scratch folder listed first; the committed corpus is only read.
# Fork mode would let timeouts and OOMs pass, so they fail the run like crashes do;
# a failing input is kept in build-fuzz/.
fuzz_corpus=$(mktemp -d)
trap 'rm -rf "$fuzz_corpus"' EXIT
build-fuzz/fuzz/snapshot_fuzzer -fork=2 -ignore_timeouts=0 -ignore_ooms=0 -max_total_time=60 \
  -max_len=4096 -timeout=5 -rss_limit_mb=512 -dict=fuzz/plist.dict -artifact_prefix=build-fuzz/ \
  "$fuzz_corpus" fuzz/corpus
