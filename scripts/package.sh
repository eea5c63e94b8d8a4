#!/usr/bin/env bash
# Makes the release in dist/ from the sources as committed:
#   TAVL.exe                        stripped, naming its debug file (GNU debuglink)
#   TAVL-<version>.debug            its debug information
#   ZUNACertGuard-<version>-x64.msi the Windows Installer package
#   SHA256SUMS                      over every other file in dist/
# Signing: ZUNA_SIGN_PKCS12 (a .p12/.pfx file) and ZUNA_SIGN_PASSWORD sign
# TAVL.exe before it goes into the MSI and the MSI after; ZUNA_SIGN_TIMESTAMP_URL
# adds an RFC 3161 time stamp. ZUNA_VERSION overrides the version (tests of an
# upgrade); ZUNA_DIST and ZUNA_PACKAGE_BUILD move the output and build folders.
# The version must rise over the previous release in its first three fields:
# ZUNA_PREVIOUS_VERSION, else the highest v<version> tag not on HEAD.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
log() { printf '[package] %s\n' "$*" >&2; }

"$root/scripts/package-tools.sh"
ZUNA_DEPS_PREFIX=$("$root/scripts/deps.sh" | tail -n 1)
build=${ZUNA_PACKAGE_BUILD:-$root/build/package}
dist=${ZUNA_DIST:-$root/dist}
# Every time in the release is the last commit's, so a rebuild gives the same bytes.
SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 315532800)
export SOURCE_DATE_EPOCH

# Windows Installer reads major.minor.build (at most 255.255.65535) and ignores
# a fourth field; the version block takes four numbers up to 65535.
version_re='^(0|[1-9][0-9]{0,4})(\.(0|[1-9][0-9]{0,4})){2,3}$'
check_version() {  # version, what it is
  local a b c d
  if [[ ! $1 =~ $version_re ]]; then
    log "$2 '$1' is not three or four numbers (major.minor.patch[.build])"
    exit 1
  fi
  IFS=. read -r a b c d <<<"$1"
  if ((a > 255 || b > 255 || c > 65535 || ${d:-0} > 65535)); then
    log "$2 '$1' is out of range (at most 255.255.65535.65535)"
    exit 1
  fi
}
# The first three fields as one number that sorts as Windows Installer compares.
release_key() { local a b c; IFS=. read -r a b c _ <<<"$1"; printf '%03d%03d%05d\n' "$a" "$b" "$c"; }

highest_tag() {  # the highest v<version> tag not on HEAD: a tag on HEAD is this release itself
  local here tag best=""
  here=$(git -C "$root" tag --points-at HEAD 2>/dev/null || true)
  for tag in $(git -C "$root" tag -l 'v*' 2>/dev/null || true); do
    grep -qxF -- "$tag" <<<"$here" && continue
    [[ ${tag#v} =~ $version_re ]] || continue
    if [ -z "$best" ] || [[ $(release_key "${tag#v}") > $(release_key "$best") ]]; then best=${tag#v}; fi
  done
  echo "$best"
}

version_args=(-UZUNA_VERSION)
if [ -n "${ZUNA_VERSION:-}" ]; then
  check_version "$ZUNA_VERSION" ZUNA_VERSION
  version_args=(-DZUNA_VERSION="$ZUNA_VERSION")
fi
cmake -S "$root" -B "$build" -G Ninja --toolchain "$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZUNA_BUILD_TESTS=OFF \
  -DZUNA_DEPS_PREFIX="$ZUNA_DEPS_PREFIX" -DCMAKE_PREFIX_PATH="$ZUNA_DEPS_PREFIX" "${version_args[@]}" >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
check_version "$version" version
previous=${ZUNA_PREVIOUS_VERSION:-}
from=ZUNA_PREVIOUS_VERSION
if [ -z "$previous" ]; then
  previous=$(highest_tag)
  from="tag v$previous"
fi
if [ -z "$previous" ]; then
  log "version $version (no earlier release to compare with: no v* tag, ZUNA_PREVIOUS_VERSION unset)"
else
  check_version "$previous" "$from"
  if [[ ! $(release_key "$version") > $(release_key "$previous") ]]; then
    log "version $version does not rise over $previous ($from) in its first three fields;"
    log "Windows Installer would not upgrade to it (it ignores a fourth field)"
    exit 1
  fi
  log "version $version, after $previous ($from)"
fi
cmake --build "$build" --target TAVL >&2

objcopy=x86_64-w64-mingw32-objcopy
rm -rf "$dist"
mkdir -p "$dist"
debug="TAVL-$version.debug"
$objcopy --only-keep-debug "$build/ZUNACertService/TAVL.exe" "$dist/$debug"
(cd "$dist" && $objcopy --strip-all --add-gnu-debuglink="$debug" "$build/ZUNACertService/TAVL.exe" TAVL.exe)

sign() {  # file: signed in place
  # The password goes through a private file, never on a command line.
  local pass
  pass=$(mktemp)
  printf '%s' "$ZUNA_SIGN_PASSWORD" >"$pass"
  local args=(-pkcs12 "$ZUNA_SIGN_PKCS12" -readpass "$pass"
              -n "ZUNA Cert Guard" -h sha256 -in "$1" -out "$1.signed")
  [ -n "${ZUNA_SIGN_TIMESTAMP_URL:-}" ] && args+=(-ts "$ZUNA_SIGN_TIMESTAMP_URL")
  local rc=0
  osslsigncode sign "${args[@]}" >/dev/null || rc=$?
  rm -f "$pass"
  [ "$rc" = 0 ] || { log "signing $1 failed"; exit 1; }
  mv "$1.signed" "$1"
}
signing=0
if [ -n "${ZUNA_SIGN_PKCS12:-}" ] && [ -n "${ZUNA_SIGN_PASSWORD:-}" ]; then
  signing=1
  sign "$dist/TAVL.exe"
fi

stage="$build/msi-stage"
rm -rf "$stage"
mkdir -p "$stage"
cp "$dist/TAVL.exe" "$root/packaging/ZUNACertGuard.wxs" "$stage/"
touch -d "@$SOURCE_DATE_EPOCH" "$stage"/*
# One product code per version: the same package installed again is the same product.
product=$(python3 -c 'import sys, uuid; print(str(uuid.uuid5(uuid.UUID("6F0C2B1E-5D7A-4C39-9E21-3A8B4F6D7C10"), sys.argv[1])).upper())' "$version")
# The package code names these exact contents: the same inputs (this script
# edits the tables below) give the same code.
package_code=$(cd "$stage" && python3 -c 'import hashlib, sys, uuid; print(str(uuid.UUID(bytes=hashlib.sha256(b"".join(open(f, "rb").read() for f in sys.argv[1:])).digest()[:16], version=4)).upper())' TAVL.exe ZUNACertGuard.wxs "$root/scripts/package.sh")
msi="ZUNACertGuard-$version-x64.msi"
(cd "$stage" && wixl -a x64 -D Version="$version" -D ProductCode="$product" -D PackageCode="$package_code" \
  -o "$dist/$msi" ZUNACertGuard.wxs)
# What wixl leaves out. TAVL.exe's File row carries its version block's four
# numbers, so that Windows Installer treats it as a versioned file in repairs
# and upgrades (and a versioned file has no MsiFileHash row). The public
# properties taken from the command line or remembered are secure: a managed
# install passes only those to the part that runs as SYSTEM.
file_version=$version
[[ $version == *.*.*.* ]] || file_version=$version.0
secure=$(msiinfo export "$dist/$msi" Property | tr -d '\r' | sed -n 's/^SecureCustomProperties\t//p')
msibuild "$dist/$msi" \
  -q "UPDATE \`File\` SET \`Version\` = '$file_version' WHERE \`File\` = 'TAVL.exe'" \
  -q "DELETE FROM \`MsiFileHash\` WHERE \`File_\` = 'TAVL.exe'" \
  -q "UPDATE \`Property\` SET \`Value\` = '$secure;INSTALLDIR;SAVEDINSTALLDIR' WHERE \`Property\` = 'SecureCustomProperties'"
[ "$signing" = 1 ] && sign "$dist/$msi"

(cd "$dist" && sha256sum -- TAVL.exe "$debug" "$msi" >SHA256SUMS)
if [ "$signing" = 1 ]; then
  log "TAVL.exe and $msi are signed"
else
  log "not signed: set ZUNA_SIGN_PKCS12 and ZUNA_SIGN_PASSWORD to sign"
fi
ls -l "$dist" >&2
echo "$dist"
