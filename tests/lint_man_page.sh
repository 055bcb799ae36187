#!/bin/sh
# Lints a manual page with mandoc -Tlint and groff's warnings (-ww), and fails on any
# message about the page. Let through: cross references to pages this machine does not
# have (the page names macOS pages such as defaults(1)) and mandoc's notes on its own
# page database.
# Usage: lint_man_page.sh PAGE
set -u
for tool in mandoc groff; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "$tool is not installed (scripts/install-deps.sh installs it)" >&2
    exit 1
  fi
done
messages=$(mandoc -Tlint -W style "$1" 2>&1; groff -man -ww -z "$1" 2>&1)
problems=$(printf '%s\n' "$messages" |
  grep -v -e '^$' -e 'STYLE: referenced manual not found' -e 'mandoc\.db')
if [ -n "$problems" ]; then
  printf '%s\n' "$problems" >&2
  exit 1
fi
