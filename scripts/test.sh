#!/usr/bin/env bash
# Checks the format and clang-tidy's findings, then builds the agent and runs every
# test: once as shipped; once on the CoreFoundation backend when CoreFoundation_ROOT
# names an installation of Apple's open-source CoreFoundation (docs/macos.md); the
# snapshot reader under the fuzzer for a minute; then every test again under
# AddressSanitizer and UndefinedBehaviorSanitizer. On macOS it runs the lanes that apply
# there instead, and says which it leaves out. HACKING.md describes each lane.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

if [ "$(uname -s)" = Darwin ]; then
  # Homebrew's llvm holds the clang tools for the lint; after the system's compilers on
  # PATH, so that the builds keep Apple's clang. Its clang-tidy finds the SDK through
  # SDKROOT, where a compile command names none.
  PATH="$PATH:$(brew --prefix llvm)/bin"
  SDKROOT=$(xcrun --show-sdk-path)
  export SDKROOT
  if command -v clang-format >/dev/null && command -v run-clang-tidy >/dev/null &&
     command -v check-jsonschema >/dev/null; then
    echo "== format and lint"
    scripts/lint.sh
  else
    echo "== lint skipped: clang-format, run-clang-tidy or check-jsonschema is missing (scripts/install-deps.sh)"
  fi

  echo "== corefoundation build (the default on macOS): unit and platform contract tests"
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build
  ctest --test-dir build --output-on-failure -j2

  echo "== universal build"
  # Without the tests, which need Homebrew's utf8proc and GoogleTest, built for this Mac only.
  cmake -S . -B build-universal -G Ninja -DCMAKE_BUILD_TYPE=Release -DDOCK_RESTORE_TESTS=OFF \
    "-DCMAKE_OSX_ARCHITECTURES=arm64;x86_64" >/dev/null
  cmake --build build-universal
  for binary in dock-restore-agent dock-restore-recover libdockrestore.dylib; do
    archs=" $(lipo -archs "build-universal/$binary") "
    echo "$binary:$archs"
    if [[ $archs != *" arm64 "* || $archs != *" x86_64 "* ]]; then
      echo "build-universal/$binary is not universal" >&2
      exit 1
    fi
  done

  echo "== swift package"
  swift build -j 2
  if xcrun --find xctest >/dev/null 2>&1; then
    swift test -j 2 --disable-swift-testing  # the tests are XCTest
  else
    echo "== swift tests skipped: XCTest comes with Xcode, not with the command-line tools alone"
  fi

  echo "== end-to-end tests skipped on macOS: they would write your Dock's preferences and restart it" \
       "(scripts/demo.sh shows a recovery of the real Dock, with your consent)"
  echo "== fuzzer skipped on macOS: Xcode's toolchain carries no libFuzzer runtime; it runs on Linux"
  echo "== sanitizer build skipped on macOS: it runs on Linux, where the end-to-end tests run under it too"
  exit 0
fi

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

# The Swift lane, where a Swift toolchain is installed: the package builds and passes its
# tests; the Swift interface and the example owner in Swift build against the installed
# module map and library, as an application's build would, and the owner library's
# end-to-end cases run with that owner; every Swift block of the owner guide builds; the
# guide's example builds as a client package that depends on this checkout; the
# documentation catalog builds. Everything but the package's own build is Swift 6 with
# complete concurrency checking, and a warning fails it.
if swiftc=$(command -v swiftc); then
  echo "== swift package"
  swift="$(dirname "$swiftc")/swift"
  "$swift" build -j 2
  # The tests begin real sessions, and a begin runs `killall Dock`. XCTest has no time
  # limit of its own here: a call that never returns (a lost continuation) fails the
  # lane after ten minutes instead of holding it.
  sh tests/e2e/run_isolated.sh timeout 600 "$swift" test -j 2 --disable-swift-testing  # the tests are XCTest

  echo "== swift owner against the installed library"
  swift_work=$(mktemp -d)
  trap 'rm -rf "$fuzz_corpus" "$swift_work"' EXIT
  cmake --install build --prefix "$swift_work/prefix" >/dev/null
  PKG_CONFIG_PATH=$(dirname "$(find "$swift_work/prefix" -name dock-restore.pc)")
  export PKG_CONFIG_PATH
  includedir=$(pkg-config --variable=includedir dock-restore)
  libdir=$(pkg-config --variable=libdir dock-restore)
  swift_flags=(-swift-version 6 -strict-concurrency=complete -warnings-as-errors
               -I "$includedir" -L "$libdir" -Xlinker -rpath -Xlinker "$libdir"
               -I "$swift_work" -L "$swift_work" -Xlinker -rpath -Xlinker "$swift_work")
  (cd "$swift_work" && "$swiftc" -emit-library -emit-module -module-name DockRestore "${swift_flags[@]}" \
    "$OLDPWD"/Sources/DockRestore/*.swift)
  "$swiftc" "${swift_flags[@]}" -lDockRestore examples/owner.swift -o "$swift_work/owner"
  # Blocks fenced "```swift macos" use what only macOS's Foundation has.
  awk -v dir="$swift_work" '/^```swift$/ { n++; out = dir "/guide-" n ".swift"; next }
       /^```/ { out = "" } out { print > out }' docs/owner-guide.md
  for block in "$swift_work"/guide-*.swift; do
    "$swiftc" "${swift_flags[@]}" -lDockRestore "$block" -o "${block%.swift}"
  done
  echo "owner guide: $(ls "$swift_work"/guide-*.swift | wc -l) Swift blocks build;" \
       "$(grep -c '^ *```swift macos' docs/owner-guide.md) left to macOS"
  # The documentation catalog's front page, its Swift blocks as one client's main.swift:
  # top-level code, where an await that found only a blocking call would warn.
  awk '/^```swift$/ { on = 1; next } /^```/ { on = 0 } on' Sources/DockRestore/DockRestore.docc/DockRestore.md \
    >"$swift_work/front-page.swift"
  grep -q await "$swift_work/front-page.swift"
  "$swiftc" "${swift_flags[@]}" -lDockRestore "$swift_work/front-page.swift" -o "$swift_work/front-page"
  DOCK_RESTORE_AGENT=$(pkg-config --variable=agent dock-restore) DOCK_RESTORE_OWNER="$swift_work/owner" \
  DOCK_RESTORE_RECOVER="$swift_work/prefix/bin/dock-restore-recover" \
    sh tests/e2e/run_isolated.sh python3 -m unittest discover -s tests/e2e -p test_owner_library.py

  echo "== swift client of the package"
  # The guide's example (the block that uses the owner from a detached task and from the
  # main actor) as an application's own package, with the guide's dependency line:
  # SwiftPM names this checkout after its folder.
  client="$swift_work/client"
  mkdir -p "$client/Sources/client"
  cp "$(grep -l 'Task.detached' "$swift_work"/guide-*.swift | head -n 1)" "$client/Sources/client/main.swift"
  cat >"$client/Package.swift" <<EOF
// swift-tools-version:6.0
import PackageDescription
let package = Package(
    name: "client", platforms: [.macOS(.v11)], dependencies: [.package(path: "$PWD")],
    targets: [.executableTarget(
        name: "client", dependencies: [.product(name: "DockRestore", package: "$(basename "$PWD")")],
        swiftSettings: [.unsafeFlags(["-strict-concurrency=complete", "-warnings-as-errors"])])])
EOF
  "$swift" build -j 2 --package-path "$client"

  echo "== swift documentation"
  # The DocC catalog with every doc comment, offline; a link that names no symbol fails it.
  "$swift" build -j 2 --target DockRestore -Xswiftc -emit-symbol-graph \
    -Xswiftc -emit-symbol-graph-dir -Xswiftc "$swift_work/symbols"
  "$(dirname "$swiftc")/docc" convert Sources/DockRestore/DockRestore.docc --warnings-as-errors \
    --additional-symbol-graph-dir "$swift_work/symbols" --output-path "$swift_work/documentation" \
    --fallback-display-name DockRestore --fallback-bundle-identifier org.dock-restore-agent.DockRestore
else
  echo "== swift lane skipped: swiftc is not on PATH"
fi
