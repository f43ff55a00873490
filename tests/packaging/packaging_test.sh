#!/usr/bin/env bash
# The init script and the unit: syntax, and that a stop sends SIGUSR1 to the
# daemon named by the pid file and waits for it to end.
set -u
src=${TSH_SOURCE_DIR:?}
init=$src/packaging/openwrt/tsh.init
unit=$src/packaging/systemd/tsh.service
fail=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAIL: $1"; fail=1; fi; }
# wait_until CMD: polls CMD for up to 10 s (a deadline, not a fixed wait).
wait_until() { local n=0; until eval "$1"; do [ $n -ge 200 ] && return 1; n=$((n + 1)); sleep 0.05; done; }

check "init script parses" "sh -n '$init'"
check "init script respawns" "grep -q 'procd_set_param respawn' '$init'"
check "unit stops with SIGUSR1" "grep -qx 'KillSignal=SIGUSR1' '$unit'"
check "unit restarts" "grep -qx 'Restart=always' '$unit'"
check "unit starts the daemon" "grep -qx 'ExecStart=/usr/sbin/TeSvcHdlr' '$unit'"

# A stand-in daemon that ends only on SIGUSR1 and records it; it idles in
# wait, which a trapped signal interrupts at once.
tmp=$(mktemp -d)
# (SIGKILL: the idler inherits the ignored SIGTERM.)
trap 'kill -9 "$(cat "$tmp/idle" 2>/dev/null)" 2>/dev/null; rm -rf "$tmp"' EXIT
sh -c 'trap "echo usr1 >'"$tmp"'/got; exit 0" USR1; trap "" TERM
  tail -f /dev/null >/dev/null 2>&1 & echo $! >'"$tmp"'/idle; wait' &
pid=$!
# Its trap must be in place before the stop is sent; it writes idle after.
check "stand-in ready" "wait_until '[ -s \"$tmp/idle\" ]'"
echo "$pid" >"$tmp/pid"
PIDFILE=$tmp/pid STOP_WAIT_S=5 sh -c ". '$init'; stop_service"
check "stop sent SIGUSR1" "[ \"\$(cat '$tmp/got' 2>/dev/null)\" = usr1 ]"
check "stop waited for the end" "! kill -0 $pid 2>/dev/null"
kill -9 "$pid" 2>/dev/null
wait "$pid" 2>/dev/null

# A pid file holding garbage is left alone, not passed to kill.
echo "1 2" >"$tmp/bad"
check "garbage pid file ignored" "PIDFILE='$tmp/bad' sh -c \". '$init'; stop_service\""
exit $fail
