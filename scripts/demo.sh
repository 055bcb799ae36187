#!/usr/bin/env bash
# Builds the agent and shows it restoring the Dock after its owner crashes, then after a
# power cut. Off macOS it runs in a scratch HOME with a stand-in Dock. On macOS it uses
# your real Dock: it shows your Dock's six settings, asks before it changes anything
# (--yes agrees beforehand), saves a copy of the Dock's preferences and puts that copy
# back, restarting the Dock, if a step fails or you interrupt it.
#
# Usage: scripts/demo.sh [--yes]
set -euo pipefail
cd "$(dirname "$0")/.."

yes=0
for argument in "$@"; do
  case $argument in
    --yes) yes=1 ;;
    -h|--help) sed -n '2,8s/^# \{0,1\}//p' "$0"; exit 0 ;;
    *) echo "usage: scripts/demo.sh [--yes]" >&2; exit 64 ;;
  esac
done
mac=0
[ "$(uname -s)" = Darwin ] && mac=1
if [ $mac = 1 ] && [ $yes = 0 ] && ! [ -t 0 ]; then
  echo "demo: this changes your real Dock for a while, and without a terminal it cannot ask you first;" \
       "run scripts/demo.sh --yes to agree beforehand" >&2
  exit 1
fi

echo "demo: checking what the build needs (scripts/install-deps.sh)"
scripts/install-deps.sh
echo "demo: building the agent, the example owner and dock-restore-recover"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target dock-restore-agent dock-restore-example-owner dock-restore-recover
programs=(build/dock-restore-agent build/dock-restore-example-owner build/dock-restore-recover)

if [ $mac = 0 ]; then
  python3 examples/demo.py "${programs[@]}"
  exit 0
fi

keys=(orientation autohide autohide-delay autohide-time-modifier no-bouncing launchanim)
dock_settings() {  # the six settings as defaults reads them, each with its type
  local key value type
  for key in "${keys[@]}"; do
    if value=$(defaults read com.apple.dock "$key" 2>/dev/null); then
      type=$(defaults read-type com.apple.dock "$key")
      printf '    %-24s %s (%s)\n' "$key" "$value" "${type#Type is }"
    else
      printf '    %-24s (not set)\n' "$key"
    fi
  done
}
before=$(dock_settings)
printf 'Your Dock'"'"'s six settings now:\n%s\n\n' "$before"
cat <<EOF
The demo hides your Dock through the example owner and kills the owner; the agent puts
your settings back and restarts the Dock. Then owner and agent are killed together, as in
a power cut, and dock-restore-recover puts them back. The Dock disappears and restarts a
few times over about ten seconds. A copy of the Dock's preferences is saved first and
put back if anything fails or you press Ctrl-C.
EOF
if [ $yes = 0 ]; then
  read -r -p "Go ahead? [y/N] " answer
  if [[ $answer != [yY]* ]]; then
    echo "Nothing was changed."
    exit 0
  fi
fi
echo

saved=$(mktemp -d)
defaults export com.apple.dock "$saved/com.apple.dock.plist"
finished=0
put_back() {
  trap '' INT TERM  # a second Ctrl-C must not cut the putting back short
  if [ $finished = 1 ]; then
    rm -rf "$saved"
    return
  fi
  echo "demo: putting your Dock's preferences back from $saved/com.apple.dock.plist" >&2
  defaults import com.apple.dock "$saved/com.apple.dock.plist" && killall Dock
}
trap put_back EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

python3 examples/demo.py --real-dock "${programs[@]}"
after=$(dock_settings)
printf '\nYour Dock'"'"'s six settings at the end:\n%s\n' "$after"
if [ "$after" != "$before" ]; then
  echo "demo: the settings differ from what they were" >&2
  exit 1
fi
echo "The same as before."
finished=1
