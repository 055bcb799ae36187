#!/usr/bin/env bash
# Fails on a format drift (.clang-format) or a clang-tidy finding (.clang-tidy) in src/
# and include/. Tidy reads each backend's compile commands from a build folder of its
# own: the portable backend always, CoreFoundation's own sources too when
# CoreFoundation_ROOT names an installation.
set -euo pipefail
cd "$(dirname "$0")/.."

# The CI workflows, against the schema of GitHub's workflow files (check-jsonschema's own
# copy, so offline). install-deps puts the checker on PATH or in Python's user base.
check_jsonschema=$(command -v check-jsonschema || echo "$(python3 -m site --user-base)/bin/check-jsonschema")
"$check_jsonschema" --builtin-schema vendor.github-workflows .github/workflows/*.yml

mapfile -t sources < <(find src include -name '*.cpp' -o -name '*.h' | sort)
clang-format --dry-run --Werror "${sources[@]}"

tidy() {  # build folder, then a regular expression for the sources to check
  local log
  log=$(mktemp)
  if ! run-clang-tidy -p "$1" -j 2 -quiet "$2" >"$log" 2>&1; then
    grep -E '(warning|error):' "$log" | sed 's/\x1b\[[0-9;]*m//g' | sort -u
    rm -f "$log"
    return 1
  fi
  rm -f "$log"
}
root=$(printf '%s' "$PWD" | sed 's/[][\\.^$*+?(){}|]/\\&/g')  # as a regular expression
cmake -S . -B build-lint -G Ninja -DDOCK_RESTORE_TESTS=OFF >/dev/null
tidy build-lint "^$root/src/"
if [ -n "${CoreFoundation_ROOT:-}" ]; then
  CXX=clang++ cmake -S . -B build-lint-cf -G Ninja -DDOCK_RESTORE_TESTS=OFF \
    -DDOCK_RESTORE_PLATFORM=corefoundation -DCoreFoundation_ROOT="$CoreFoundation_ROOT" >/dev/null
  tidy build-lint-cf "^$root/src/platform/corefoundation/"
fi
# The manual pages: clean under mandoc -T lint and groff's warnings.
for page in docs/*.8; do
  sh tests/lint_man_page.sh "$page"
done
echo "lint: no format drift, no clang-tidy findings, clean manual pages"
