#!/usr/bin/env bash
# Installs the Debian 12 packages LumFilesystem needs to build, test, fuzz
# and benchmark (bindfs and fuse3: the fault tests' FUSE file system;
# GlusterFS: the shared-cache test's distributed file system), document
# (doxygen) and check the Debian packages (lintian).
# Idempotent, and silent when everything is already there.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libboost1.81-dev libboost-filesystem1.81-dev
  libutfcpp-dev libgoogle-glog-dev libssl-dev libglib2.0-dev libcli11-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  dpkg-dev file
  clang-14 libclang-rt-14-dev llvm-14   # the fuzz preset: libFuzzer, sanitizers, symbolized reports
  inotify-tools                         # inotifywait, the peer of DirectoryWatcherBench
  bindfs fuse3                          # the fault tests' FUSE file system
  e2fsprogs xfsprogs                    # the power-cut tests' file systems (mkfs.ext4, mkfs.xfs)
  doxygen                               # the HTML reference (target docs)
  lintian                               # the Debian packages' check in the package test
  bash-completion                       # lumfs's completion, tested with it
  glusterfs-server glusterfs-client iproute2 util-linux  # the shared-cache test: a volume, two clients in network namespaces
)
# scripts/install-deps.sh ceph: also what tests/distributed/cephfs.sh starts.
if [ "${1:-}" = ceph ]; then
  packages+=(ceph-mon ceph-osd ceph-mds ceph-fuse)
fi

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
  [ "$status" = "installed" ] || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get -o DPkg::Lock::Timeout=600 update -qq >/dev/null
apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
