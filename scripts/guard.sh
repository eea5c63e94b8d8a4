#!/usr/bin/env bash
# Runs the guard for real: the service installed and started under Wine's
# service manager in a private prefix, guarding the stand-in.
#
#   scripts/guard.sh start        build what is missing, install, start, follow the log
#   scripts/guard.sh log          follow the log (Ctrl-C stops following, not the service)
#   scripts/guard.sh kill         kill the stand-in: the guard starts it again in about 3 s
#   scripts/guard.sh adopt        restart the service with a stand-in that it did not
#                                 start, so that the guard probes it every 30 s
#   scripts/guard.sh fault MODE   make the stand-in misbehave (see standin/ZUNATAVLService.cpp)
#   scripts/guard.sh status       the service's state and the stand-in's processes
#   scripts/guard.sh stop         stop the service, wait for STOPPED, remove it, end the
#                                 prefix's wineserver and say whether it is still registered
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=wine-env.sh
. "$root/scripts/wine-env.sh"
prefix=${ZUNA_LIVE_PREFIX:-$root/build/live-prefix}
install_win='C:\Program Files\ZUNA Cert'
install_dir="$prefix/drive_c/Program Files/ZUNA Cert"
log="$prefix/drive_c/users/Public/ZUNACertService.log"

follow_log() {
  echo "--- $log (GBK shown as UTF-8; Ctrl-C stops following, the service keeps running)"
  tail -n +1 -F "$log" 2>/dev/null | python3 -u -c '
import sys
for raw in sys.stdin.buffer:
    sys.stdout.write(raw.decode("gbk", "replace").rstrip("\r\n") + "\n")'
}

sc_state() { wine sc query ZUNATAVLGuardService 2>/dev/null | tr -d '\r' | sed -n 's/.*STATE *: *//p'; }
# Until the service is stopped or not registered (at most 30 s).
wait_stopped() { for _ in $(seq 60); do case "$(sc_state)" in *STOPPED*|'') return 0 ;; esac; sleep 0.5; done; return 0; }

case "${1:-start}" in
  start)
    build=$("$root/scripts/build.sh" | tail -n 1)
    wine_up "$prefix"
    # A running guard holds the single-instance name: -install would give way (183).
    wine sc stop ZUNATAVLGuardService >/dev/null 2>&1 || true
    wait_stopped
    mkdir -p "$install_dir"
    cp "$build/ZUNACertService/TAVL.exe" "$build/standin/ZUNATAVLService.exe" "$install_dir/"
    printf 'normal {"version":"1.0.0.1"}\n' >"$install_dir/standin.ctl"
    rc=0
    wine "$install_win\\TAVL.exe" -install </dev/null >/dev/null 2>&1 || rc=$?
    [ "$rc" = 0 ] || { echo "TAVL.exe -install failed with $rc (see the log: $log)" >&2; exit 1; }
    wine sc start ZUNATAVLGuardService </dev/null >/dev/null 2>&1 || true
    sleep 1
    echo "service: $(sc_state)"
    echo "program folder: $install_dir"
    follow_log
    ;;
  log)
    follow_log
    ;;
  fault)
    shift
    [ $# -gt 0 ] || { echo "usage: $0 fault normal TEXT|empty|status CODE TEXT|silent|trickle SECONDS|size BYTES|refuse|exit CODE|crash" >&2; exit 2; }
    printf '%s\n' "$*" >"$install_dir/standin.ctl"
    echo "stand-in mode: $*"
    ;;
  kill)
    pkill -9 -f 'ZUNA Cert\\ZUNATAVLService\.exe' && echo "stand-in killed" || echo "no stand-in running"
    ;;
  adopt)
    export WINEPREFIX="$prefix" WINEDEBUG=-all
    wine sc stop ZUNATAVLGuardService </dev/null >/dev/null 2>&1 || true
    sleep 4
    printf 'normal {"version":"1.0.0.1"}\n' >"$install_dir/standin.ctl"
    setsid wine "$install_win\\ZUNATAVLService.exe" </dev/null >/dev/null 2>&1 &
    sleep 2
    wine sc start ZUNATAVLGuardService </dev/null >/dev/null 2>&1 || true
    echo "service: $(sc_state); it probes the stand-in 30 s from now, then every 30 s"
    ;;
  status)
    export WINEPREFIX="$prefix" WINEDEBUG=-all
    echo "service: $(sc_state)"
    pgrep -af 'ZUNA Cert\\ZUNATAVLService\.exe' || echo "no stand-in running"
    ;;
  stop)
    export WINEPREFIX="$prefix" WINEDEBUG=-all
    [ -d "$prefix" ] || { echo "no prefix at $prefix"; exit 0; }
    key='HKLM\SYSTEM\CurrentControlSet\Services\ZUNATAVLGuardService'
    registered() { wine reg query "$key" </dev/null >/dev/null 2>&1; }
    if [ -n "$(sc_state)" ]; then
      wine sc stop ZUNATAVLGuardService </dev/null >/dev/null 2>&1 || true
      wait_stopped
      echo "service: $(sc_state)"
    fi
    # A console TAVL.exe gives way while the service process still runs (one
    # mutex for both), so the remove is tried until the registration is gone.
    for _ in $(seq 20); do
      registered || break
      wine "$install_win\\TAVL.exe" -remove </dev/null >/dev/null 2>&1 || true
      registered && sleep 0.5
    done
    if registered; then
      echo "the service is still registered under $key" >&2
      wine_down
      exit 1
    fi
    wine_down
    echo "service not registered ($key is gone), wineserver of $prefix ended"
    ;;
  *)
    sed -n '2,15p' "$0"; exit 2 ;;
esac
