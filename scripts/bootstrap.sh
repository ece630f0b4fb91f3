#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build, the tests and the tools need
# and this machine lacks. Safe to run again: it installs nothing that is present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libboost-dev libboost-date-time-dev libboost-system-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libyaml-cpp-dev libcli11-dev libfmt-dev
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64
  socat
  # Windows: the shipped 32-bit DLL's win32 thread model; the end-to-end runner
  # (GoogleTest from its sources) under wine64.
  g++-mingw-w64-i686-win32 googletest wine64 wine
  # Fuzzing: clang with libFuzzer and the sanitizers' runtimes; llvm-cov for coverage.
  clang-14 libclang-rt-14-dev llvm-14
)
# The station (vktpoll serve): MQTT client, durable queue, systemd notification;
# mosquitto and sqlite3 for its tests; dpkg-dev, file and man-db for the package.
packages+=(
  libmosquitto-dev mosquitto libsqlite3-dev sqlite3 libsystemd-dev
  dpkg-dev file man-db
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "bootstrap: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
