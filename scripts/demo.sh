#!/usr/bin/env bash
# Installs what is missing, builds the Linux plugin and its tools, and runs the
# demonstration: simulated meters polled through the real plugin library.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/bootstrap.sh >&2
cmake --preset default >/dev/null
cmake --build --preset default -j "${TRV_JOBS:-$(nproc)}" >&2
if [ -x build/default/tools/vktpoll ]; then
  exec build/default/tools/vktpoll "$@"
fi
exec build/default/hostemu/hostemu_demo "$@"
