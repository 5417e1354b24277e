#!/usr/bin/env bash
# Installs what is missing, builds Halvorn and starts it. Arguments go to the
# program.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DHALVORN_TESTS=OFF -DHALVORN_BENCH=OFF >/dev/null
cmake --build "$root/build/release" --target halvorn
exec "$root/build/release/src/ui/halvorn" "$@"
