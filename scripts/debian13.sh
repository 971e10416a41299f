#!/usr/bin/env bash
# Builds hdrmeter in Release and runs every test (ctest, pytest among them) inside a Debian 13 root, so that
# g++ 14 and FFmpeg 7.1 are held to the same tests as the machine's own Debian 12.
#   scripts/debian13.sh    makes the root under build/ on first use (debootstrap, from the Debian mirror
#                          apt on this machine already uses), and reuses it after
# Needs root (debootstrap, chroot, mount). HDRMETER_DEBIAN13_ROOT chooses another place for the root,
# HDRMETER_TEST_MEDIA the test media (default: ../shared/media). While it runs the machine's /proc, /sys
# and /dev are mounted inside the root: removing build/ then would reach into them. The root is made
# once (debootstrap and the packages take a few minutes) and its build is kept, so later runs rebuild only
# what changed.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)
root=${HDRMETER_DEBIAN13_ROOT:-$src/build/debian13-root}
media=${HDRMETER_TEST_MEDIA:-$(cd "$src/.." && pwd)/shared/media}
jobs=$(nproc)

if [ "$(id -u)" -ne 0 ]; then
  echo "debian13.sh: making and entering a Debian 13 root needs root; run it as root or leave this stage out" >&2
  exit 1
fi

# The mirror apt already reaches here, so that the root needs no other network access than the machine's.
mirror() {
  local uri
  uri=$(grep -hs '^URIs:' /etc/apt/sources.list.d/*.sources | awk '{print $2}' | grep -v -- '-security' | head -n1 || true)
  [ -n "$uri" ] || uri=$(grep -hs '^deb ' /etc/apt/sources.list /etc/apt/sources.list.d/*.list |
    awk '{for (i = 2; i <= NF; i++) if ($i ~ /^https?:/) {print $i; exit}}' | grep -v -- '-security' | head -n1 || true)
  echo "${uri:-http://deb.debian.org/debian}"
}

if [ ! -x "$root/usr/bin/apt-get" ]; then
  if ! command -v debootstrap >/dev/null; then
    echo "installing: debootstrap"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap >/dev/null || {
      echo "debian13.sh: debootstrap is missing and could not be installed; install it with apt-get" >&2
      exit 1
    }
  fi
  url=$(mirror)
  echo "== making a Debian 13 root in $root from $url"
  # Made aside and moved in place only when complete, so that an interrupted run is not taken for a root.
  rm -rf "$root.partial"
  mkdir -p "$(dirname "$root")"
  debootstrap --variant=minbase trixie "$root.partial" "$url" >"$root.log" 2>&1 || {
    echo "debian13.sh: debootstrap failed (see $root.log); check the mirror $url and run again" >&2
    exit 1
  }
  mv "$root.partial" "$root"
fi

mounted=()
release() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" || true
  done
}
trap release EXIT
trap 'exit 130' INT TERM

bind() {
  mkdir -p "$2"
  mount --bind "$1" "$2"
  mounted+=("$2")
  if [ "${3:-}" = ro ]; then mount -o remount,bind,ro "$2"; fi
}

mount -t proc proc "$root/proc" && mounted+=("$root/proc")
bind /sys "$root/sys"
bind /dev "$root/dev"
bind /dev/pts "$root/dev/pts"
# The tests read the Dolby Vision streams as ../shared/media from the source tree, as they do here.
bind "$src" "$root/work/hdrmeter" ro
if [ -d "$media" ]; then bind "$media" "$root/work/shared/media" ro; fi
cp /etc/resolv.conf "$root/etc/resolv.conf"

# The build stays inside the root, out of the source tree, and is reused by the next run.
chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  LANG=C.UTF-8 bash -euo pipefail -c "
    cd /work/hdrmeter
    bash scripts/deps.sh test
    echo \"== Debian 13 release build: \$(g++ -dumpfullversion), FFmpeg \$(ffmpeg -version | sed -n '1s/^ffmpeg version \\([^ ]*\\).*/\\1/p')\"
    cmake -S . -B /root/build -DCMAKE_BUILD_TYPE=Release -DHDRMETER_BUILD_TESTS=ON >/dev/null
    cmake --build /root/build -j$jobs
    ctest --test-dir /root/build --output-on-failure -j$jobs
  "
