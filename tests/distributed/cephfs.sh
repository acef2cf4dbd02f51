#!/usr/bin/env bash
# The shared-cache checks on CephFS: a monitor, an OSD keeping its store in
# memory and a metadata server in a network namespace of their own (no
# manager daemon is needed), the file system mounted twice through
# ceph-fuse by clients "a" and "b" in two more namespaces. Not part of the
# suite (it takes a few minutes); needs `scripts/install-deps.sh ceph`.
#
#   tests/distributed/cephfs.sh SharedCacheTest CacheStress [stress seconds=5]
#   tests/distributed/cephfs.sh --hold   # for benchmarks: links the mounts as
#       /tmp/lumfs-ceph-{a,b}-PID and waits until interrupted
#
# Exits 77 (skipped, with the reason) where /dev/fuse or network namespaces
# are missing. Stops everything it started, also on failure or interruption.
set -euo pipefail
here=$(dirname "$(realpath "$0")")
# shellcheck source=machines.sh
. "$here/machines.sh"

skip_unless_possible
for tool in ceph-mon ceph-osd ceph-mds ceph-fuse ceph monmaptool; do
  command -v "$tool" >/dev/null || { echo "FAILED: $tool is missing (scripts/install-deps.sh ceph installs it)"; exit 1; }
done

hold=false
if [ "${1:-}" = --hold ]; then
  hold=true
else
  checks=$(realpath "$1")
  stress=$(realpath "$2")
  stress_seconds=${3:-5}
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/lumfs-ceph-XXXXXX")
on_exit "rm -rf '$work'"
make_machines a b
conf="$work/ceph.conf"

write_conf() {
  mkdir -p "$work/run" "$work/log" "$work/mon" "$work/osd" "$work/mds"
  cat >"$conf" <<CONF
[global]
fsid = $(cat /proc/sys/kernel/random/uuid)
mon host = $SERVER_IP
auth cluster required = none
auth service required = none
auth client required = none
auth supported = none
osd pool default size = 1
osd pool default min size = 1
mon allow pool size one = true
osd objectstore = memstore
memstore device bytes = 1073741824
osd max object name len = 256
osd max object namespace len = 64
mds tick interval = 0.5
run dir = $work/run
pid file = $work/run/\$name.pid
admin socket = $work/run/\$name.asok
log file = $work/log/\$name.log
mon data = $work/mon/\$name
osd data = $work/osd/\$name
mds data = $work/mds/\$name
keyring = $work/\$name.keyring
ms bind ipv4 = true
ms bind ipv6 = false
public network = $SERVER_IP/24
CONF
}

ceph_cli() { in_ns "$SERVER_NS" timeout 60 ceph -c "$conf" "$@"; }

start_server() {
  write_conf
  monmaptool --create --add a "$SERVER_IP:6789" --fsid "$(sed -n 's/^fsid = //p' "$conf")" "$work/monmap" >/dev/null
  in_ns "$SERVER_NS" ceph-mon -c "$conf" --mkfs -i a --monmap "$work/monmap" >/dev/null
  on_exit "stop_pidfile '$work/run/mon.a.pid'"
  in_ns "$SERVER_NS" ceph-mon -c "$conf" -i a
  wait_for 60 "the monitor" ceph_cli -s
  ceph_cli osd create >/dev/null
  mkdir -p "$work/osd/osd.0"
  in_ns "$SERVER_NS" ceph-osd -c "$conf" -i 0 --mkfs >/dev/null 2>&1
  on_exit "stop_pidfile '$work/run/osd.0.pid'"
  in_ns "$SERVER_NS" ceph-osd -c "$conf" -i 0
  wait_for 60 "the OSD to be up" eval "ceph_cli osd stat | grep -q '1 up'"
  local pool
  for pool in lumfs_data lumfs_metadata; do
    ceph_cli osd pool create "$pool" 8 >/dev/null
    ceph_cli osd pool set "$pool" size 1 --yes-i-really-mean-it >/dev/null
  done
  ceph_cli fs new lumfs lumfs_metadata lumfs_data >/dev/null
  mkdir -p "$work/mds/mds.a"
  on_exit "stop_pidfile '$work/run/mds.a.pid'"
  in_ns "$SERVER_NS" ceph-mds -c "$conf" -i a
  wait_for 60 "the metadata server to be active" eval "ceph_cli mds stat | grep -q 'up:active'"
}

mount_client() {
  local name=$1 ns mnt="$work/mnt-$1"
  ns=NS_$name
  mkdir -p "$mnt"
  on_exit "unmount '$mnt'; stop_pidfile '$work/run/client.$name.pid'"
  in_ns "${!ns}" ceph-fuse -c "$conf" --id "$name" --pid-file "$work/run/client.$name.pid" \
    --admin-socket "$work/run/client.$name.asok" --log-file "$work/log/client.$name.log" "$mnt" >/dev/null
  wait_for 60 "client $name's mount" mountpoint -q "$mnt"
}

log "starting CephFS in $SERVER_NS at $SERVER_IP"
start_server
mount_client a
mount_client b
log "CephFS: a=$work/mnt-a b=$work/mnt-b"
if $hold; then hold_mounts ceph; fi
status=0
run_checks "$checks" "$stress" "$work/mnt-a" "$work/mnt-b" "CephFS" "$stress_seconds" || status=1
log "stopping CephFS"
exit $status
