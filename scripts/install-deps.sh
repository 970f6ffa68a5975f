#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need.
# Safe to run again: it only calls apt-get when a package is missing.
set -euo pipefail

PACKAGES=(
  g++ cmake make pkg-config
  libboost-system1.74-dev libboost-thread1.74-dev libboost-filesystem1.74-dev
  libboost-date-time1.74-dev libboost-program-options1.74-dev
  libprotobuf-dev protobuf-compiler
  zlib1g-dev libssl-dev libsqlite3-dev libspdlog-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  python3-dev pybind11-dev python3-pytest
  python3-venv python3-pip python3-setuptools python3-wheel mypy python3-pandas
  doxygen
  libedit-dev nlohmann-json3-dev
  # the vanished-server test: a network namespace and a firewall rule in it
  iproute2 nftables
  # make mutants applies the soak's deliberate faults
  patch
  # make test-under-load: the CPU hogs
  stress-ng
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}" >&2
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
