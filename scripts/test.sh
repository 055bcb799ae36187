#!/usr/bin/env bash
# Checks the format and clang-tidy's findings, then builds the agent and runs every
# test: once as shipped; once on the CoreFoundation backend when CoreFoundation_ROOT
# names an installation of Apple's open-source CoreFoundation (docs/macos.md); the
# snapshot reader under the fuzzer for a minute; then every test again under
# AddressSanitizer and UndefinedBehaviorSanitizer. HACKING.md describes each lane.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

echo "== format and lint"
scripts/lint.sh

echo "== release build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build
ctest --test-dir build --output-on-failure -j2
if [ "$(id -u)" -ne 0 ]; then
  echo "not run without root, for want of a second user or a mount: an owner of another user," \
       "a snapshot another user owns, a full disk"
fi

if [ -n "${CoreFoundation_ROOT:-}" ]; then
  echo "== corefoundation build ($CoreFoundation_ROOT)"
  CXX=clang++ cmake -S . -B build-cf -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DDOCK_RESTORE_PLATFORM=corefoundation -DCoreFoundation_ROOT="$CoreFoundation_ROOT" >/dev/null
  cmake --build build-cf
  ctest --test-dir build-cf --output-on-failure -j2
else
  echo "== corefoundation build skipped: CoreFoundation_ROOT is not set"
fi

echo "== fuzzer (60 s)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DDOCK_RESTORE_FUZZ=ON -DDOCK_RESTORE_TESTS=OFF >/dev/null
cmake --build build-fuzz --target snapshot_fuzzer
# New inputs go to a scratch folder listed first; the committed corpus is only read.
# Fork mode would let timeouts and OOMs pass, so they fail the run like crashes do;
# a failing input is kept in build-fuzz/, the fuzzer's full output in build-fuzz/fuzz.log.
fuzz_corpus=$(mktemp -d)
trap 'rm -rf "$fuzz_corpus"' EXIT
if ! build-fuzz/fuzz/snapshot_fuzzer -fork=2 -ignore_timeouts=0 -ignore_ooms=0 \
    -max_total_time=60 -max_len=4096 -timeout=5 -rss_limit_mb=512 -dict=fuzz/plist.dict \
    -artifact_prefix=build-fuzz/ "$fuzz_corpus" fuzz/corpus >build-fuzz/fuzz.log 2>&1; then
  tail -n 60 build-fuzz/fuzz.log
  exit 1
fi
grep -E '^#[0-9]+: cov' build-fuzz/fuzz.log | tail -n 1 || true
echo "fuzzer: no findings"

echo "== sanitizer build (ASan + UBSan)"
CC=clang CXX=clang++ cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DDOCK_RESTORE_SANITIZE=ON >/dev/null
cmake --build build-sanitize
ctest --test-dir build-sanitize --output-on-failure -j2
