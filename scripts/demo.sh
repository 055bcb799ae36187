#!/usr/bin/env bash
# Builds the agent and shows it restoring the Dock after its owner crashes.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target dock-restore-agent dock-restore-example-owner dock-restore-recover >/dev/null
python3 examples/demo.py build/dock-restore-agent build/dock-restore-example-owner build/dock-restore-recover
