#!/usr/bin/env bash
# The whole test run from a fresh clone: dependencies, build, a private Wine
# prefix, every test under ctest. Extra arguments go to ctest (-L unit, -R …).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$("$root/scripts/build.sh" | tail -n 1)
# shellcheck source=wine-env.sh
. "$root/scripts/wine-env.sh"
wine_up "$build/wineprefix"
trap wine_down EXIT
ctest --test-dir "$build" --output-on-failure --no-tests=error "$@"
