#!/usr/bin/env bash
# Installs what the build, the tests and the demo need, when missing: Debian's packages,
# or on macOS Homebrew's, beside the Xcode command-line tools, which it only checks for.
set -euo pipefail

if [ "$(uname -s)" = Darwin ]; then
  if ! xcode-select -p >/dev/null 2>&1; then
    echo "install-deps: the Xcode command-line tools are missing; install them with: xcode-select --install" >&2
    exit 1
  fi
  # llvm brings clang-format, clang-tidy and run-clang-tidy for the lint; Homebrew keeps
  # it off PATH, where scripts/test.sh finds it.
  formulae=(cmake ninja pkg-config utf8proc googletest llvm check-jsonschema)
  if ! command -v brew >/dev/null 2>&1; then
    echo "install-deps: Homebrew is missing: install it, then run this again to install ${formulae[*]}" >&2
    exit 1
  fi
  installed=$(brew list --formula -1)
  missing=()
  for f in "${formulae[@]}"; do
    grep -qx "$f" <<<"$installed" || missing+=("$f")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    brew install "${missing[@]}"
  fi
  exit 0
fi

packages=(cmake ninja-build g++ clang libclang-rt-14-dev clang-format clang-tidy pkg-config
          libutf8proc-dev libgtest-dev libgmock-dev psmisc python3 python3-pip mandoc groff-base locales)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The CI workflows' linter, which Debian does not package: from PyPI, for this user.
if ! command -v check-jsonschema >/dev/null && [ ! -x "$(python3 -m site --user-base)/bin/check-jsonschema" ]; then
  python3 -m pip install -q --user --break-system-packages --root-user-action=ignore \
    --no-warn-script-location check-jsonschema==0.39.0
fi

# A decimal-comma locale, for the test that number parsing ignores the process locale.
if ! locale -a 2>/dev/null | grep -qx 'de_DE.utf8'; then
  $sudo localedef -i de_DE -f UTF-8 de_DE.UTF-8
fi
