#!/usr/bin/env bash
# Installs what is missing, then configures and builds the mingw preset.
# Prints the build directory on its last line.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# One dependency build at a time: another checkout's build running at once
# would wipe this one's work folder. A second waits, then finds the result cached.
cache=${ZUNA_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/zunacert-deps}
mkdir -p "$cache"
ZUNA_DEPS_PREFIX=$(flock "$cache/.lock" "$root/scripts/deps.sh" | tail -n 1)
export ZUNA_DEPS_PREFIX
cd "$root"
cmake --preset mingw >/dev/null
cmake --build --preset mingw >&2
echo "$root/build/mingw"
