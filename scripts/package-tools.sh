#!/usr/bin/env bash
# Installs what scripts/package.sh needs beyond the build: the MSI and signing
# tools. scripts/test.sh calls it before ctest, so that the package test, in a
# network of its own, never has to fetch anything.
set -euo pipefail
sudo_() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }
missing=()
for p in wixl msitools osslsigncode openssl; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  printf '[package] installing: %s\n' "${missing[*]}" >&2
  sudo_ apt-get update -qq >&2
  sudo_ env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
fi
