#!/usr/bin/env bash
# Installs what is missing, builds the backend and starts it. Without arguments it shows
# its help; with arguments it runs with them (for example with none but "-" to serve stdin).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target QuilvarnCLI

if [ $# -eq 0 ]; then
    set -- --help
fi

status=0
build/QuilvarnCLI "$@" || status=$?
# The help text ends the program with status 255 by design.
if [ "$1" = "--help" ] && [ $status -eq 255 ]; then status=0; fi
exit $status
