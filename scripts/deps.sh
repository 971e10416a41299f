#!/usr/bin/env bash
# Installs the Debian packages that hdrmeter needs, and only those that are missing.
#   scripts/deps.sh          what building the library and the tool needs
#   scripts/deps.sh test     also what the tests need
#   scripts/deps.sh bench    also what the benchmark program needs
#   scripts/deps.sh package  also what building and testing the Debian package needs
set -euo pipefail
packages=(cmake make g++ pkg-config libopencv-core-dev libopencv-imgproc-dev libcli11-dev nlohmann-json3-dev)
# The tool reads every input through FFmpeg's libraries (Debian 12 has ffmpeg 5.1).
packages+=(libavformat-dev libavcodec-dev libavutil-dev)
# Partial results of time segments pack their histograms with zlib.
packages+=(zlib1g-dev)
# The plot as PNG and the report's pictures: librsvg draws the SVG, cairo writes the PNG.
packages+=(librsvg2-dev)
# The Python module, built against Debian's own interpreter and numpy.
packages+=(python3 python3-dev pybind11-dev python3-pybind11 python3-numpy)
case "${1:-}" in
  # x265 and mkvmerge take the summary's HDR10 lines in a test, as a user would paste them.
  # Headless Chromium shows the HTML report in a test, as a reader's browser would.
  test) packages+=(libgtest-dev ffmpeg clang libclang-rt-dev python3-pytest x265 mkvtoolnix parallel chromium ccache) ;;
  bench) packages+=(libbenchmark-dev time ffmpeg) ;;
  # scripts/package.sh reads the .deb's dependencies with dpkg-shlibdeps; scripts/test_package.sh
  # installs it in a Debian 12 made with debootstrap.
  package) packages+=(dpkg-dev debootstrap) ;;
esac
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "deps.sh: missing packages ${missing[*]}; run this script as root or install them with apt-get" >&2
  exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
