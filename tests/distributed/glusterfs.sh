#!/usr/bin/env bash
# The shared-cache checks on GlusterFS: a one-brick volume served from a
# network namespace of its own and mounted twice through FUSE, by clients
# "a" and "b" in two more namespaces, as two machines would mount it. Runs
# in GlusterFS's default profile and in the strict one (the clients' caches
# off: md-cache, open-behind, quick-read, FUSE entry and attribute timeouts).
#
#   tests/distributed/glusterfs.sh SharedCacheTest CacheStress [stress seconds=5] [profiles=default strict]
#   tests/distributed/glusterfs.sh --hold [default|strict]   # for benchmarks: links the mounts as
#       /tmp/lumfs-gluster-{a,b}-PID and waits until interrupted
#
# Exits 77 (skipped, with the reason) where /dev/fuse or network namespaces
# are missing. Stops everything it started, also on failure or interruption.
set -euo pipefail
here=$(dirname "$(realpath "$0")")
# shellcheck source=machines.sh
. "$here/machines.sh"

skip_unless_possible
for tool in glusterd gluster glusterfs; do
  command -v "$tool" >/dev/null || { echo "FAILED: $tool is missing (scripts/install-deps.sh installs it)"; exit 1; }
done

hold=false
if [ "${1:-}" = --hold ]; then
  hold=true
  profiles=${2:-default}
else
  checks=$(realpath "$1")
  stress=$(realpath "$2")
  stress_seconds=${3:-5}
  profiles=${4:-default strict}
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/lumfs-gluster-XXXXXX")
on_exit "rm -rf '$work'"
volume="lumfs$$"

make_machines a b

cli() { in_ns "$SERVER_NS" gluster --mode=script --glusterd-sock="$work/glusterd.socket" "$@"; }

start_server() {
  mkdir -p "$work/glusterd" "$work/brick"
  cat >"$work/glusterd.vol" <<VOL
volume management
    type mgmt/glusterd
    option working-directory $work/glusterd
    option transport-type socket
    option transport.socket.listen-port 24007
    option ping-timeout 0
    option event-threads 1
    option glusterd-sockfile $work/glusterd.socket
end-volume
VOL
  on_exit "stop_server"
  in_ns "$SERVER_NS" glusterd -f "$work/glusterd.vol" -p "$work/glusterd.pid" -l "$work/glusterd.log"
  wait_for 30 "glusterd to answer" cli volume list
  cli volume create "$volume" "$SERVER_IP:$work/brick" force >/dev/null
  cli volume start "$volume" >/dev/null
}

# The brick's own PID file, wherever this version of glusterd keeps it.
brick_pidfiles() {
  local file
  for file in "$work"/glusterd/vols/"$volume"/run/*.pid /var/run/gluster/vols/"$volume"/*.pid; do
    [ -f "$file" ] && echo "$file"
  done
}

stop_server() {
  local bricks
  bricks=$(brick_pidfiles)
  if [ -s "$work/glusterd.pid" ] && alive "$(cat "$work/glusterd.pid")"; then
    cli volume stop "$volume" force >/dev/null 2>&1 || true
  fi
  local file
  for file in $bricks; do stop_pidfile "$file"; done
  stop_pidfile "$work/glusterd.pid"
  # What glusterd keeps of the brick outside our directory, named by it.
  rm -rf "/var/run/gluster/vols/$volume" "/var/log/glusterfs/bricks/$(echo "${work#/}" | tr / -)-brick.log"
}

# mount_client NAME [FUSE OPTIONS...]: mounts the volume at $work/NAME
# through a client in NAME's namespace.
mount_client() {
  local name=$1 ns mnt="$work/mnt-$1"
  shift
  ns=NS_$name
  mkdir -p "$mnt"
  on_exit "stop_client $name"
  in_ns "${!ns}" glusterfs --volfile-server="$SERVER_IP" --volfile-id="$volume" \
    --pid-file="$work/client-$name.pid" --log-file="$work/client-$name.log" "$@" "$mnt"
  wait_for 30 "client $name's mount" mountpoint -q "$mnt"
  wait_for 30 "client $name's mount to answer" stat "$mnt/."
}

stop_client() {
  unmount "$work/mnt-$1"
  stop_pidfile "$work/client-$1.pid"
}

set_profile() {
  local profile=$1 name
  for name in a b; do stop_client $name; done
  local fuse=()
  if [ "$profile" = strict ]; then
    local option
    for option in performance.stat-prefetch performance.open-behind performance.quick-read; do
      cli volume set "$volume" "$option" off >/dev/null
    done
    fuse=(--entry-timeout=0 --attribute-timeout=0 --negative-timeout=0)
  fi
  for name in a b; do mount_client $name "${fuse[@]}"; done
}

log "starting GlusterFS in $SERVER_NS at $SERVER_IP"
start_server
status=0
for profile in $profiles; do
  set_profile "$profile"
  log "GlusterFS $profile profile: a=$work/mnt-a b=$work/mnt-b"
  if $hold; then hold_mounts gluster "$profile"; fi
  run_checks "$checks" "$stress" "$work/mnt-a" "$work/mnt-b" "GlusterFS $profile" \
    "$stress_seconds" "$profile" || status=1
done
log "stopping GlusterFS"
exit $status
