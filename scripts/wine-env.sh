# Sourced: a private Wine prefix for one run, with its wineserver and services
# started detached from the caller's streams (a wineserver started under a
# capturing parent hands those pipes on to services.exe, which then holds the
# parent forever).
wine_up() {
  export WINEPREFIX="$1"
  export WINEDEBUG=-all
  # No Mono or Gecko prompts when the prefix is made.
  export WINEDLLOVERRIDES="mscoree,mshtml="
  mkdir -p "$(dirname "$WINEPREFIX")"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i </dev/null >/dev/null 2>&1
    wineserver -w </dev/null >/dev/null 2>&1 || true
  fi
  setsid wineserver -p </dev/null >/dev/null 2>&1 &
  wine cmd /c exit </dev/null >/dev/null 2>&1
}

# Ends only this prefix's processes and wineserver.
wine_down() {
  [ -n "${WINEPREFIX:-}" ] || return 0
  wineserver -k </dev/null >/dev/null 2>&1 || true
  wineserver -w </dev/null >/dev/null 2>&1 || true
}
