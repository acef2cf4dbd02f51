#!/usr/bin/env bash
# Installs the Debian 12 packages the Windows (mingw-w64 + Wine) build needs,
# then cross-builds its third-party libraries once into a prefix inside the
# build tree, build/mingw-deps/<key>/, keyed by the Debian versions they come
# from and by this script's revision:
#   - Boost.Filesystem 1.81 (static) from Debian's boost1.81 source package, with
#     Debian's Boost headers reached through include/boost -> /usr/include/boost;
#   - glog 0.6 (a DLL) from the google-glog source package;
#   - GoogleTest and GoogleMock (static) from /usr/src/googletest.
# glog's licence notice (Debian's copyright file of the source the DLL is
# built from) stays in the prefix, share/doc/google-glog/copyright, for the
# Windows ZIPs to ship. It writes build/mingw-deps/prefix.cmake, through which
# the toolchain file finds the prefix. Idempotent, and silent when everything
# is already there.
set -euo pipefail
cd "$(dirname "$0")/.."

# Bump when the way the prefix is built changes: the next run rebuilds it.
readonly revision=1
readonly root=$PWD
readonly deps=$root/build/mingw-deps
readonly toolchain=$root/cmake/mingw-w64-x86_64.cmake
# Our own deb-src list, derived from the machine's apt sources.
readonly debsrc=/etc/apt/sources.list.d/lumfilesystem-deb-src.sources

say() { echo "install-mingw-deps: $*" >&2; }

# --- Debian packages
packages=(
  cmake ninja-build dpkg-dev xz-utils
  g++-mingw-w64-x86-64-posix wine wine64
  libboost1.81-dev libutfcpp-dev libcli11-dev googletest
)
installed=$(dpkg-query -W -f='${Package} ${db:Status-Status}\n' "${packages[@]}" 2>/dev/null || true)
missing=()
for package in "${packages[@]}"; do
  grep -qx "$package installed" <<<"$installed" || missing+=("$package")
done

need_root() {
  if [ "$(id -u)" -ne 0 ]; then
    say "$1 (run as root)"
    exit 1
  fi
}
apt_quiet() { DEBIAN_FRONTEND=noninteractive apt-get -qq -o DPkg::Lock::Timeout=600 "$@" >/dev/null; }

if [ ${#missing[@]} -gt 0 ]; then
  need_root "missing packages: ${missing[*]}"
  say "installing ${missing[*]}"
  apt_quiet update
  apt_quiet install -y --no-install-recommends "${missing[@]}"
fi

# --- Source package entries: every enabled "Types: deb" stanza of the machine's
# own sources, copied as "Types: deb-src".
derive_deb_src() {
  local sources=()
  for file in /etc/apt/sources.list.d/*.sources; do
    [ -e "$file" ] && [ "$file" != "$debsrc" ] && sources+=("$file")
  done
  [ ${#sources[@]} -gt 0 ] || return 0
  awk 'BEGIN { RS = ""; FS = "\n" }
    {
      types = ""; body = ""; enabled = 1
      for (i = 1; i <= NF; i++) {
        line = $i
        if (line ~ /^#/) continue
        if (tolower(line) ~ /^types:/) { types = line; sub(/^[^:]*:[ \t]*/, "", types); continue }
        if (tolower(line) ~ /^enabled:[ \t]*no/) enabled = 0
        body = body line "\n"
      }
      n = split(types, t, /[ \t]+/); deb = 0; src = 0
      for (j = 1; j <= n; j++) { if (t[j] == "deb") deb = 1; if (t[j] == "deb-src") src = 1 }
      if (deb && !src && enabled) { printf "%sTypes: deb-src\n%s", sep, body; sep = "\n" }
    }' "${sources[@]}"
}
wanted=$(derive_deb_src)
if [ -n "$wanted" ] && [ "$wanted" != "$(cat "$debsrc" 2>/dev/null)" ]; then
  need_root "cannot write $debsrc"
  printf '%s\n' "$wanted" >"$debsrc"
  apt_quiet update
fi
if [ -z "$(apt-cache showsrc --only-source google-glog 2>/dev/null)" ]; then
  need_root "no source package index"
  apt_quiet update
fi

# --- The key: the Debian versions the prefix is built from.
declare -A source_version
while read -r package version; do
  source_version[$package]=$version
done < <(dpkg-query -W -f='${Package} ${source:Version}\n' libboost1.81-dev googletest g++-mingw-w64-x86-64-posix)
boost_version=${source_version[libboost1.81-dev]}  # the headers' version
googletest_version=${source_version[googletest]}
compiler_version=${source_version[g++-mingw-w64-x86-64-posix]}
glog_version=$(apt-cache showsrc --only-source google-glog | sed -n 's/^Version: //p' | sort -V | tail -n 1)
if [ -z "$glog_version" ]; then
  say "no google-glog source package in the apt sources"
  exit 1
fi
key="boost1.81-${boost_version}_google-glog-${glog_version}_googletest-${googletest_version}"
key+="_gcc-mingw-w64-${compiler_version}_r${revision}"
key=${key//:/%}  # an epoch's colon is not welcome in a path
prefix=$deps/$key

# The toolchain file includes this to find the prefix; rewritten only when it changes.
write_prefix_file() {
  local text
  text="# Written by scripts/install-mingw-deps.sh: the Windows build's dependency prefix.
set(LUM_MINGW_DEPS_PREFIX \"\${CMAKE_CURRENT_LIST_DIR}/$key\")"
  if [ "$text" != "$(cat "$deps/prefix.cmake" 2>/dev/null)" ]; then
    printf '%s\n' "$text" >"$deps/prefix.cmake.new"
    mv "$deps/prefix.cmake.new" "$deps/prefix.cmake"
  fi
}

downloads=$deps/downloads
# glog's notice from its source package's Debian files (fetched again only if
# the downloads are gone); prefixes built before it was kept get it here too.
glog_notice() {
  local notice=$prefix/share/doc/google-glog/copyright
  [ -s "$notice" ] && return 0
  local tarballs=("$downloads/google-glog_${glog_version#*:}".debian.tar.*)
  if [ ! -e "${tarballs[0]}" ]; then
    mkdir -p "$downloads"
    (cd "$downloads" && apt-get source --download-only -qq -o APT::Sandbox::User=root \
      "google-glog=$glog_version" >/dev/null 2>&1) || true
    tarballs=("$downloads/google-glog_${glog_version#*:}".debian.tar.*)
  fi
  mkdir -p "$(dirname "$notice")"
  if ! tar -xOf "${tarballs[0]}" debian/copyright >"$notice.new" 2>/dev/null || [ ! -s "$notice.new" ]; then
    rm -f "$notice.new"
    say "cannot get glog's debian/copyright from the google-glog $glog_version source package"
    exit 1
  fi
  mv "$notice.new" "$notice"
}

if [ -e "$prefix/.complete" ]; then
  glog_notice
  write_prefix_file
  exit 0
fi

# --- Cold build
started=$SECONDS
say "building the Windows dependencies into build/mingw-deps/$key"
work=$deps/work
rm -rf "$prefix" "$work"
mkdir -p "$prefix/include" "$work" "$downloads"
log=$work/build.log
: >"$log"
# Runs a step with its output in the log; on failure shows the log's end.
run() {
  if ! "$@" >>"$log" 2>&1; then
    say "failed: $*"
    tail -n 40 "$log" >&2
    say "full log: $log"
    exit 1
  fi
}

# apt has already checked these files against the signed index; dpkg-source's
# own signature check only warns (no Debian keyring here), into the log.
(cd "$downloads" && run apt-get source --download-only -qq -o APT::Sandbox::User=root \
  "boost1.81=$boost_version" "google-glog=$glog_version")
dsc() { echo "$downloads/${1}_${2#*:}.dsc"; }
# Debian's Boost patches do not touch Boost.Filesystem; applying them keeps the
# tree exactly Debian's.
run dpkg-source -x "$(dsc boost1.81 "$boost_version")" "$work/boost"
# glog's Debian patches are for Debian's own install (one pins the installed
# CMake package to /usr/share/glog/cmake, outside our prefix), Hurd and tests:
# none is for us.
run dpkg-source --skip-patches -x "$(dsc google-glog "$glog_version")" "$work/glog"

# Debian's headers, never /usr/include itself (glibc's headers break mingw).
ln -s /usr/include/boost "$prefix/include/boost"
for header in /usr/include/utf8*; do ln -s "$header" "$prefix/include/"; done

# Builds and installs one CMake project into the prefix with the toolchain.
cross_build() {
  local name=$1 source=$2
  shift 2
  run cmake -S "$source" -B "$work/$name-build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DLUM_MINGW_DEPS_PREFIX="$prefix" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" "$@"
  run cmake --build "$work/$name-build" -j2
  run cmake --install "$work/$name-build"
}
cross_build boost-filesystem "$root/cmake/mingw-deps/boost-filesystem" -DBOOST_SOURCE_DIR="$work/boost"
cross_build glog "$work/glog" -DBUILD_SHARED_LIBS=ON -DWITH_GFLAGS=OFF -DWITH_UNWIND=OFF \
  -DWITH_GTEST=OFF -DWITH_PKGCONFIG=OFF -DBUILD_TESTING=OFF
cross_build googletest /usr/src/googletest -DBUILD_SHARED_LIBS=OFF -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON

glog_notice
printf '%s\n' "$key" >"$prefix/.complete"
write_prefix_file
# Earlier prefixes and the sources are not needed any more.
for old in "$deps"/*/.complete; do
  [ "$old" = "$prefix/.complete" ] || rm -rf "$(dirname "$old")"
done
rm -rf "$work"
say "built in $((SECONDS - started)) s"
