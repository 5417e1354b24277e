#!/usr/bin/env bash
# Builds the benchmark programs in Release (no sanitizers) and runs them, or
# only those named: bash scripts/bench.sh reg_expr_bench dns_resolver_bench.
# Extra Google Benchmark options go in BENCH_ARGS.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh" test
build="$root/build/bench"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DHALVORN_SANITIZE= \
  -DHALVORN_BENCH=ON >/dev/null
cmake --build "$build" --target benchmarks
programs=("$@")
if [ ${#programs[@]} -eq 0 ]; then
  for source in "$root"/bench/*_bench.cpp; do programs+=("$(basename "$source" .cpp)"); done
fi
for program in "${programs[@]}"; do
  echo "== $program"
  # shellcheck disable=SC2086
  "$build/bench/$program" ${BENCH_ARGS:-}
done
