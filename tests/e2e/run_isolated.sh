#!/bin/sh
# Runs the command given in a PID namespace of its own where the machine allows one.
# The agent's `killall Dock` reaches every process named Dock it can see: inside, only
# this run's stand-ins, and no other run's reach ours. Without root, a user namespace
# maps the caller to itself, so that the tests still see who they run as.
for isolate in "unshare --pid --fork --kill-child --mount-proc" \
               "unshare --map-current-user --pid --fork --kill-child --mount-proc"; do
  if $isolate true 2>/dev/null; then
    exec $isolate "$@"
  fi
done
echo "end-to-end tests: no PID namespace here; another run's killall Dock may reach ours" >&2
exec "$@"
