#!/usr/bin/env bash
# Runs a command in a network namespace of its own, loopback only, so that a
# test in a Wine prefix of its own has its own 127.0.0.1:58000 and can run
# beside the others. CMake runs it once with `true` to see whether the machine
# allows it (root or user namespaces, iproute2); where not, those tests take
# the "port" lock instead.
set -euo pipefail
exec unshare --net -- sh -c 'ip link set lo up && exec "$@"' own-network "$@"
