#!/usr/bin/env bash
# Installs what is missing, builds every configuration (Linux, Linux with
# AddressSanitizer + UndefinedBehaviorSanitizer, Windows i686 and x86-64) and
# runs every test; mingw-x86_64 runs the Windows end-to-end runner under wine64
# (scripts/wine-run.sh). Then the Debian package and the fuzz targets' short runs.
# Exit status 0 only when everything passed.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/bootstrap.sh

jobs=${TRV_JOBS:-$(nproc)}
for preset in default asan mingw-i686 mingw-x86_64; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done

# The station's Debian package from the default build: built, installed,
# run from the installed path and removed (the install needs root, as in CI).
echo "== package"
(cd build/default && cpack -G DEB >/dev/null)
./packaging/test-package.sh build/default/vktpoll_*.deb

# Fuzzing: the fuzz preset's targets replay their corpus and regressions, then run
# briefly (90 s in all, plus the build).
./scripts/fuzz.sh
echo "== all configurations passed"
