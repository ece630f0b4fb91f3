#!/bin/sh
# The Linux plugin defines the seven entry points and nothing else of its own;
# every host operation it uses stays undefined, to be bound at load time.
set -u
so=$1
fail=0
defined=$(nm -D --defined-only "$so" | awk '$2 ~ /^[TWDBRVi]$/ {print $3}' | sort)
expected=$(printf '%s\n' KORVA_PLUGIN_CLOSE KORVA_PLUGIN_CREATE KORVA_PLUGIN_INIT KORVA_PLUGIN_READ \
  KORVA_PLUGIN_RUN KORVA_PLUGIN_SLAVEPROCESSING KORVA_PLUGIN_WRITE | sort)
[ "$defined" = "$expected" ] || { echo "FAIL: defined symbols [$(echo $defined)]"; fail=1; }
undefined_hosts=$(nm -D --undefined-only "$so" | awk '{print $2}' | grep -c '^Host')
[ "$undefined_hosts" -gt 0 ] || { echo "FAIL: no undefined host operation"; fail=1; }
[ $fail -eq 0 ] && echo "ok: $so exports only the entry points and leaves $undefined_hosts host operations undefined"
exit $fail
