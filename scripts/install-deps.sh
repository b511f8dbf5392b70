#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the benchmarks
# need. Safe to run again: packages already present are left alone.
# `install-deps.sh fuzz` adds clang and its runtime libraries with libFuzzer,
# for `make fuzz`; `install-deps.sh windows` the MinGW-w64 cross compiler,
# Wine and zip, for `make windows`, `make test-windows` and `make dist-windows`;
# `install-deps.sh package` what `make check-package` checks the Debian
# package with; `install-deps.sh arm64` the aarch64 cross compiler, qemu-user and, through
# multiarch, the arm64 libraries the tests link (GoogleTest, GMP), for
# `make arm64` and `make test-arm64`.
set -euo pipefail

packages=(
  build-essential cmake make
  libgtest-dev libgmock-dev googletest
  libbenchmark-dev
  libgmp-dev
  libcli11-dev
  qt6-base-dev qt6-charts-dev libqt6opengl6-dev  # Qt Charts needs the OpenGL module's CMake files
  ocl-icd-opencl-dev opencl-c-headers opencl-clhpp-headers pocl-opencl-icd
  libopenmpi-dev openmpi-bin
)
case "${1:-}" in
  "") ;;
  fuzz) packages+=(clang libclang-rt-dev) ;;
  windows)
    packages=(cmake make g++-mingw-w64-x86-64-posix wine wine64 zip googletest libcli11-dev
              opencl-c-headers opencl-clhpp-headers pocl-opencl-icd ocl-icd-libopencl1)
    ;;
  package)
    # What `make check-package` checks the package with.
    packages=(lintian appstream desktop-file-utils man-db)
    ;;
  arm64)
    # Header-only libraries (CLI11, the OpenCL headers) are the build
    # machine's; what is linked comes as the arm64 package.
    packages=(cmake make crossbuild-essential-arm64 qemu-user libcli11-dev
              opencl-c-headers opencl-clhpp-headers libgtest-dev:arm64 libgmp-dev:arm64)
    if ! dpkg --print-foreign-architectures | grep -qx arm64; then
      if [ "$(id -u)" -eq 0 ]; then dpkg --add-architecture arm64; else sudo dpkg --add-architecture arm64; fi
    fi
    ;;
  *)
    echo "usage: $0 [fuzz|windows|package|arm64]" >&2
    exit 2
    ;;
esac

missing=()
for pkg in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
