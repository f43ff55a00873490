#!/usr/bin/env bash
# The init script's stop: SIGUSR1 to the daemon named by the pid file, then a
# wait for its end; a pid file holding garbage is left alone.
set -u
init=${TSH_SOURCE_DIR:?}/packaging/openwrt/tsh.init tmp=$(mktemp -d) fail=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAIL: $1"; fail=1; fi; }
# wait_until CMD: polls CMD for up to 10 s (a deadline, not a fixed wait).
wait_until() { local n=0; until eval "$1"; do [ $n -ge 200 ] && return 1; n=$((n + 1)); sleep 0.05; done; }
# In a process group of its own, where a wrong "kill 0" ends only the stop.
stop() { PIDFILE=$1 STOP_WAIT_S=5 setsid -w sh -c ". '$init'; stop_service"; }
# A stand-in daemon that ends only on SIGUSR1 and records it, its trap set before it
# writes idle (SIGKILL at the end: the idler inherits the ignored SIGTERM).
sh -c 'trap "echo usr1 >'"$tmp"'/got; exit 0" USR1; trap "" TERM
  tail -f /dev/null >/dev/null 2>&1 & echo $! >'"$tmp"'/idle; wait' &
pid=$!
trap 'kill -9 "$(cat "$tmp/idle" 2>/dev/null)" "$pid" 2>/dev/null; rm -rf "$tmp"' EXIT
check "init script parses" "sh -n '$init'"
check "stand-in ready" "wait_until '[ -s \"$tmp/idle\" ]'"
echo "$pid" >"$tmp/pid"
for bad in "1 2" 0 007; do
  echo "$bad" >"$tmp/bad"
  check "pid file '$bad' ignored" "stop '$tmp/bad' && [ ! -e '$tmp/got' ]"
done
stop "$tmp/pid"
check "stop sent SIGUSR1 and waited for the end" "[ \"\$(cat '$tmp/got' 2>/dev/null)\" = usr1 ] && ! kill -0 $pid 2>/dev/null"
exit $fail
