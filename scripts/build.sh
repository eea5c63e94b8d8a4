#!/usr/bin/env bash
# Installs what is missing, then configures and builds the mingw preset.
# Prints the build directory on its last line.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ZUNA_DEPS_PREFIX=$("$root/scripts/deps.sh" | tail -n 1)
export ZUNA_DEPS_PREFIX
cd "$root"
cmake --preset mingw >/dev/null
cmake --build --preset mingw >&2
echo "$root/build/mingw"
