#!/usr/bin/env bash
# Installs a hdrmeter .deb with apt in a bare Debian 12 root and measures the demo clip there, as a user
# on a fresh machine would: what the package declares is all it gets. Run as root; needs debootstrap
# and the network (the mirror apt uses here). Not part of the test command: it downloads a system.
#   scripts/test_package.sh hdrmeter_VERSION_amd64.deb
set -euo pipefail
deb=$(realpath "${1:?usage: scripts/test_package.sh hdrmeter_VERSION_amd64.deb}")
[ "$(id -u)" -eq 0 ] || { echo "test_package.sh: debootstrap and chroot need root" >&2; exit 1; }
command -v debootstrap >/dev/null || { echo "test_package.sh: apt-get install debootstrap" >&2; exit 1; }
sources=/etc/apt/sources.list.d/debian.sources
mirror=$(awk '$1 == "URIs:" { print $2; exit }' "$sources")
[ -n "$mirror" ] || { echo "test_package.sh: no mirror found in $sources" >&2; exit 1; }

root=$(mktemp -d "${TMPDIR:-/tmp}/hdrmeter-bookworm.XXXXXX")
mounted=()
cleanup() {
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[i]}" || true; done
  rm -rf --one-file-system "$root"
}
trap cleanup EXIT
mount_in() { mount "$@"; mounted+=("${!#}"); }

debootstrap --variant=minbase bookworm "$root" "$mirror"
# The same suites as this machine's apt (updates and security), so that the libraries the package was
# built against are there in the versions it asks for.
cp "$sources" "$root/etc/apt/sources.list.d/"
rm -f "$root/etc/apt/sources.list"
mount_in -t proc proc "$root/proc"
mount_in -t sysfs sysfs "$root/sys"
mount_in --bind /dev "$root/dev"
cp "$deb" "$root/tmp/"
run() { chroot "$root" env DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8 "$@"; }
run apt-get update -qq
run apt-get install -y -qq "/tmp/$(basename "$deb")"
run hdrmeter --demo --summary-json /tmp/demo.json --report /tmp/demo.html --plot /tmp/demo.png
run python3 -c 'import hdrmeter; r = hdrmeter.measure(demo=True); assert r.frames == 120, r; print("python:", r)'
run sh -c 'hdrmeter --version | grep -qx "hdrmeter $(dpkg-query -W -f "\${Version}" hdrmeter)"' ||
  { echo "test_package.sh: hdrmeter --version does not give the package's version" >&2; exit 1; }
for file in /usr/include/hdrmeter/clip.h /usr/lib/x86_64-linux-gnu/pkgconfig/hdrmeter.pc \
            /usr/lib/x86_64-linux-gnu/cmake/hdrmeter/hdrmeterConfig.cmake /usr/share/man/man1/hdrmeter.1.gz \
            /usr/share/bash-completion/completions/hdrmeter /usr/lib/python3/dist-packages/hdrmeter/py.typed \
            /usr/lib/python3/dist-packages/hdrmeter/__init__.pyi; do
  [ -f "$root$file" ] || { echo "test_package.sh: the package did not install $file" >&2; exit 1; }
done
echo "test_package.sh: $(basename "$deb") installed with apt on a bare Debian 12 and measured the demo clip"
