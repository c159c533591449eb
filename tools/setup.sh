#!/usr/bin/env bash
# Installs what building, running and testing Elutrix need on Debian, as root.
# Packages already present are left alone; apt is only asked when one is missing.
set -euo pipefail

packages=(
  build-essential cmake
  clang libclang-rt-14-dev
  qt6-base-dev libgl-dev
  libgtest-dev libbenchmark-dev libcerf-dev libfftw3-dev python3-mpmath
  nlohmann-json3-dev libcli11-dev
  pkg-config libnetcdf-dev netcdf-bin
  python3-netcdf4 python3-scipy python3-numpy python3-pytest python3-mypy python3-matplotlib
  python3-xarray python3-h5py python3-dask python3-distributed
  python3-dev pybind11-dev python3-pybind11 python3-pip python3-setuptools python3-wheel
  fonts-liberation fonts-dejavu-core
  xvfb xauth
  locales
  dpkg-dev desktop-file-utils appstream lintian man-db
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi

# A locale whose decimal separator is a comma, for the tests that check that
# numbers are still read and written with a period.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  localedef -i de_DE -f UTF-8 de_DE.UTF-8 || echo "note: could not generate de_DE.UTF-8"
fi
