#!/usr/bin/env bash
# Installs the cross toolchain and Wine, and cross-builds libcurl, Boost and
# GoogleTest as static x86_64-w64-mingw32 libraries from Debian's own sources.
# The result is cached outside the work tree, keyed by package versions and by
# this script's own text, so a warm run only checks the key.
#
# Prints the dependency prefix on its last line of standard output.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)
cache=${ZUNA_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/zunacert-deps}
jobs=$(nproc)
log() { printf '[deps] %s\n' "$*" >&2; }

packages=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
          mingw-w64-tools wine64 wine cmake ninja-build googletest dpkg-dev bison python3
          xz-utils)

sudo_() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
apt_updated=0
if [ ${#missing[@]} -gt 0 ]; then
  log "installing: ${missing[*]}"
  sudo_ apt-get update -qq >&2
  apt_updated=1
  sudo_ env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
fi

candidate() { apt-cache policy "$1" 2>/dev/null | awk '/Candidate:/ {print $2; exit}'; }
curl_ver=$(candidate curl)
boost_ver=$(candidate libboost1.81-dev)
gtest_ver=$(dpkg-query -W -f='${Version}' googletest)
mingw_ver=$(dpkg-query -W -f='${Version}' g++-mingw-w64-x86-64-posix)
if [ -z "$curl_ver" ] || [ -z "$boost_ver" ]; then
  sudo_ apt-get update -qq >&2; apt_updated=1
  curl_ver=$(candidate curl); boost_ver=$(candidate libboost1.81-dev)
fi
script_sum=$(cat "$0" "$root/cmake/mingw-w64-x86_64.cmake" | sha256sum | cut -c1-12)
key="curl-${curl_ver}_boost-${boost_ver}_gtest-${gtest_ver}_gcc-${mingw_ver}_${script_sum}"
key=${key//[^A-Za-z0-9._-]/_}
prefix="$cache/$key"

if [ -f "$prefix/.complete" ]; then
  log "cached: $prefix"
  echo "$prefix"
  exit 0
fi

log "building dependencies into $prefix"
work="$cache/work-$key"
rm -rf "$work" "$prefix"
mkdir -p "$work" "$prefix"

# Debian's binary entries only: add matching source entries, derived from the
# machine's own apt configuration (same URIs, suites, components and keyring).
src_list=/etc/apt/sources.list.d/zunacert-deb-src.sources
if ! apt-cache showsrc curl 2>/dev/null | grep -q '^Version:'; then
  tmp=$(mktemp)
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && [ "$f" != "$src_list" ] || continue
    # Keep only stanzas that carry Debian's own archive keyring.
    awk 'BEGIN{RS=""; ORS="\n\n"} /Types:[^\n]*deb/ && /debian-archive-keyring/ {
           sub(/Types:[^\n]*/, "Types: deb-src"); print }' "$f" >>"$tmp"
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    grep -E '^deb[[:space:]]' "$f" | grep -E 'debian' | sed 's/^deb\([[:space:]]\)/deb-src\1/' >>"$tmp.list" || true
  done
  if [ -s "$tmp" ]; then sudo_ cp "$tmp" "$src_list"; fi
  if [ -s "$tmp.list" ]; then sudo_ cp "$tmp.list" "${src_list%.sources}.list"; fi
  rm -f "$tmp" "$tmp.list"
  sudo_ apt-get update -qq >&2
fi

cd "$work"
log "fetching sources: curl $curl_ver, boost1.81 $boost_ver"
apt-get source -qq "curl=$curl_ver" >&2
apt-get source -qq "boost1.81=$boost_ver" >&2
curl_src=$(find . -maxdepth 1 -type d -name 'curl-*' | head -n1)
boost_src=$(find . -maxdepth 1 -type d -name 'boost1.81-*' | head -n1)

toolchain="$root/cmake/mingw-w64-x86_64.cmake"

log "building curl"
cmake -S "$curl_src" -B build-curl -G Ninja -Wno-dev \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DBUILD_SHARED_LIBS=OFF -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DENABLE_MANUAL=OFF \
  -DHTTP_ONLY=ON -DCURL_DISABLE_LDAP=ON -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF \
  -DCURL_ZLIB=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_NGHTTP2=OFF -DUSE_LIBIDN2=OFF \
  -DCURL_USE_LIBPSL=OFF -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBSSH=OFF -DENABLE_UNIX_SOCKETS=OFF \
  >&2
cmake --build build-curl -j "$jobs" >&2
cmake --install build-curl >&2

log "building googletest"
cmake -S /usr/src/googletest -B build-gtest -G Ninja -Wno-dev \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF >&2
cmake --build build-gtest -j "$jobs" >&2
cmake --install build-gtest >&2

log "building boost"
(
  cd "$boost_src/tools/build"
  # Debian's source drops b2's generated grammar.
  bison -y -d -o src/engine/jamgram.cpp src/engine/jamgram.y
)
(
  cd "$boost_src"
  ./bootstrap.sh --with-toolset=gcc >&2
  t=x86_64-w64-mingw32
  echo "using gcc : mingw : $t-g++-posix : <archiver>$t-ar <ranlib>$t-ranlib <rc>$t-windres ;" >user-config.jam
  ./b2 -q -j"$jobs" --user-config=user-config.jam --prefix="$prefix" \
    toolset=gcc-mingw target-os=windows threadapi=win32 threading=multi \
    link=static runtime-link=static variant=release address-model=64 \
    boost.locale.icu=off boost.locale.iconv=off boost.locale.winapi=on boost.locale.std=off \
    --with-log --with-locale --with-thread --with-system --with-filesystem \
    --with-date_time --with-chrono --with-atomic --with-regex \
    install >"$work/b2.log" 2>&1 || { tail -n 60 "$work/b2.log" >&2; exit 1; }
)

echo "$key" >"$prefix/.complete"
cd "$cache"
rm -rf "$work"
# Older keys are of no further use.
find "$cache" -mindepth 1 -maxdepth 1 -type d ! -name "$key" -exec rm -rf {} + 2>/dev/null || true
log "done: $prefix"
echo "$prefix"
