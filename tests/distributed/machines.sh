# shellcheck shell=bash
# Sourced by the shared-cache scripts. Lets them play several machines on
# this one: each "machine" is a network namespace of our own, joined to the
# server's by a veth pair on a bridge, with link-local addresses in a subnet
# the root namespace is told is unreachable, so no packet leaves the
# namespaces we made. The FUSE clients run in the clients' namespaces (with
# nsenter --net, which keeps the mount visible to everyone); the test
# programs, in the root namespace, reach the volume through those mounts.
#
# Everything started is registered with on_exit right before it is started
# and undone in reverse order when the script ends, also on failure, Ctrl-C
# or SIGTERM: processes by their PID files, mounts by their mount points,
# namespaces and the route by their names. Nothing is found by a pattern.

set -euo pipefail

SKIP=77  # CTest's SKIP_RETURN_CODE

cleanups=()
running=()  # background programs of ours that have not been waited for
on_exit() { cleanups+=("$1"); }
run_cleanups() {
  set +e  # every step is tried, whatever the ones before it answered
  local i pid
  for pid in "${running[@]}"; do
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  running=()
  for ((i = ${#cleanups[@]} - 1; i >= 0; i--)); do eval "${cleanups[i]}"; done
  cleanups=()
}
trap run_cleanups EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

log() { printf '%s %s\n' "$(date -u +%T.%N | cut -c1-12)" "$*" >&2; }

# wait_for SECONDS DESCRIPTION COMMAND...: polls COMMAND until it succeeds;
# fails (naming DESCRIPTION) at the deadline.
wait_for() {
  local seconds=$1 what=$2
  shift 2
  local deadline=$((SECONDS + seconds))
  until "$@" >/dev/null 2>&1; do
    if ((SECONDS >= deadline)); then
      log "gave up after ${seconds}s waiting for $what"
      return 1
    fi
    sleep 0.05
  done
}

alive() { [ -n "${1:-}" ] && kill -0 "$1" 2>/dev/null; }

# stop_pidfile FILE: ends the process FILE names (TERM, then KILL after
# 20 s) and waits until it is gone.
stop_pidfile() {
  local file=$1 pid
  [ -s "$file" ] || return 0
  pid=$(tr -dc 0-9 <"$file")
  alive "$pid" || return 0
  kill -TERM "$pid" 2>/dev/null || true
  if ! wait_for 20 "process $pid ($file) to end" eval "! kill -0 $pid"; then
    kill -KILL "$pid" 2>/dev/null || true
    wait_for 10 "process $pid to die" eval "! kill -0 $pid" || true
  fi
}

# unmount DIR: unmounts DIR if it is a mount point (lazily when busy).
unmount() {
  mountpoint -q "$1" 2>/dev/null || return 0
  umount "$1" 2>/dev/null || umount -l "$1"
}

# skip_unless_possible: exits with SKIP (and the reason) where this machine
# cannot run FUSE clients in network namespaces.
skip_unless_possible() {
  if [ "$(id -u)" -ne 0 ]; then echo "SKIPPED: needs root (mounts, network namespaces)"; exit $SKIP; fi
  if [ ! -c /dev/fuse ]; then echo "SKIPPED: no /dev/fuse"; exit $SKIP; fi
  local probe="lumfs-probe-$$"
  if ! ip netns add "$probe" 2>/dev/null; then echo "SKIPPED: network namespaces cannot be made here"; exit $SKIP; fi
  ip netns del "$probe"
}

# make_machines NAME...: a server namespace and one client namespace per
# NAME, on one link-local /24. Sets SERVER_NS, SERVER_IP and, per client,
# NS_<NAME> (the namespace) and IP_<NAME>.
make_machines() {
  local tag="lumfs$$" octet subnet
  # A /24 nobody routes yet (not the one of 169.254.169.254): runs side by
  # side get different ones, and each removes only its own route.
  for octet in $(seq $((20 + $$ % 140)) 219) $(seq 20 219); do
    [ "$octet" -eq 169 ] && continue
    subnet="169.254.$octet"
    [ -z "$(ip route show table all "$subnet.0/24" 2>/dev/null)" ] && break
  done
  if ip route add unreachable "$subnet.0/24" 2>/dev/null; then
    on_exit "ip route del unreachable $subnet.0/24"
  fi
  SERVER_NS="$tag-srv"
  SERVER_IP="$subnet.1"
  on_exit "ip netns del $SERVER_NS"
  ip netns add "$SERVER_NS"
  ip -n "$SERVER_NS" link set lo up
  ip -n "$SERVER_NS" link add br0 type bridge
  ip -n "$SERVER_NS" addr add "$SERVER_IP/24" dev br0
  ip -n "$SERVER_NS" link set br0 up
  local name host=2 ns
  for name in "$@"; do
    ns="$tag-$name"
    on_exit "ip netns del $ns"
    ip netns add "$ns"
    ip -n "$ns" link set lo up
    # Made inside the client's namespace, so that no interface of ours ever
    # shows in the root namespace; the peer end moves to the server's.
    ip -n "$ns" link add eth0 type veth peer name "p$name"
    ip -n "$ns" link set "p$name" netns "$SERVER_NS"
    ip -n "$SERVER_NS" link set "p$name" master br0 up
    ip -n "$ns" addr add "$subnet.$host/24" dev eth0
    ip -n "$ns" link set eth0 up
    printf -v "NS_$name" '%s' "$ns"
    printf -v "IP_$name" '%s' "$subnet.$host"
    host=$((host + 1))
  done
}

in_ns() {  # in_ns NAMESPACE COMMAND...: the command with the namespace's network only
  local ns=$1
  shift
  nsenter --net="/run/netns/$ns" "$@"
}

# run_checks CHECKS STRESS DIR_A DIR_B LABEL SECONDS [PROFILE]: the shared-cache checks
# between DIR_A and DIR_B (one directory of the volume through two clients),
# then the stress program on both clients at once for SECONDS: two
# processes on each, client a putting from the volume (moves), client b from
# its local disk (copies).
# hold_mounts NAME [WHAT]: links the two mounts as /tmp/lumfs-NAME-a-PID and
# -b-PID and waits until interrupted (for benchmarks against a live volume).
hold_mounts() {
  local a="/tmp/lumfs-$1-a-$$" b="/tmp/lumfs-$1-b-$$"
  ln -sfn "$work/mnt-a" "$a"
  ln -sfn "$work/mnt-b" "$b"
  on_exit "rm -f $a $b"
  echo "holding: $a $b${2:+ ($2)}; Ctrl-C (or kill -TERM $$ when started in the background) to stop"
  sleep infinity &  # until interrupted: a trap runs during wait, not during a foreground sleep
  running+=($!)
  wait
}

run_checks() {
  local checks=$1 stress=$2 a=$3 b=$4 label=$5 seconds=$6 profile=${7:-} status=0 run cache
  run=$(basename "$(mktemp -u run-XXXXXX)")
  local local_sources
  local_sources=$(mktemp -d "${TMPDIR:-/tmp}/lumfs-sources-XXXXXX")
  on_exit "rm -rf '$local_sources'"
  log "$label: checks"
  LUM_SHARED_A="$a/$run" LUM_SHARED_B="$b/$run" LUM_SHARED_PROFILE="$profile" "$checks" --gtest_brief=1 || status=1
  for cache in hashed flat; do
    "$stress" $cache "$a/$run/stress-$cache" "$a/$run/sources-$cache" 2 "$seconds" 0 >"$local_sources/a.out" 2>&1 &
    local pa=$!
    running+=($pa)
    "$stress" $cache "$b/$run/stress-$cache" "$local_sources/$cache" 2 "$seconds" 2 >"$local_sources/b.out" 2>&1 &
    local pb=$!
    running+=($pb)
    wait $pa || status=1
    wait $pb || status=1
    running=()
    log "$label, stress $cache, client a: $(cat "$local_sources/a.out")"
    log "$label, stress $cache, client b: $(cat "$local_sources/b.out")"
  done
  if [ $status -eq 0 ]; then log "$label: PASSED"; else log "$label: FAILED"; fi
  return $status
}
