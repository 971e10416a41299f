#!/usr/bin/env bash
# Builds hdrmeter_VERSION_amd64.deb in the current folder: the tool, the libraries, the headers, the CMake
# and pkg-config files and the Python module, installed under /usr, with the Debian packages they need
# declared. Needs what scripts/deps.sh installs, and dpkg-dev (dpkg-shlibdeps reads the dependencies).
#   scripts/package.sh [BUILD_DIR]     (default: build-deb)
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:-build-deb}
command -v dpkg-shlibdeps >/dev/null || { echo "package.sh: dpkg-shlibdeps is missing: apt-get install dpkg-dev" >&2; exit 1; }
# Debian's own interpreter looks in /usr/lib/python3/dist-packages, where its packages' modules go.
cmake -S "$source_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DHDRMETER_BUILD_TESTS=OFF -DHDRMETER_PYTHON_INSTALL_DIR=lib/python3/dist-packages
cmake --build "$build_dir" -j"${JOBS:-2}"
(cd "$build_dir" && cpack -G DEB)
cp "$build_dir"/hdrmeter_*_amd64.deb .
ls hdrmeter_*_amd64.deb
