#!/usr/bin/env bash
# The whole test run from a fresh clone: dependencies, build, a private Wine
# prefix, every test under ctest, two at a time (the tests' resource locks keep
# apart those that share the prefix or the probe port). Extra arguments go to
# ctest (-L unit, -R …, -j 1).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$("$root/scripts/build.sh" | tail -n 1)
"$root/scripts/package-tools.sh"
# shellcheck source=wine-env.sh
. "$root/scripts/wine-env.sh"
wine_up "$build/wineprefix"
trap wine_down EXIT
ctest --test-dir "$build" --output-on-failure --no-tests=error --parallel 2 "$@"
