#!/usr/bin/env bash
# Installs what is missing, builds Halvorn and the programs beside it, and
# starts it. Arguments go to the program.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DHALVORN_TESTS=OFF -DHALVORN_BENCH=OFF >/dev/null
# The program and what goes beside it: the restarter, the interception
# library with its probe, and the wrapper that starts a mail reader with it.
cmake --build "$root/build/release" --target halvorn Launch QuorLspV6 halvorn-lsp-probe \
  halvorn-intercept-wrapper
exec "$root/build/release/src/ui/halvorn" "$@"
