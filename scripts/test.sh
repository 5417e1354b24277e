#!/usr/bin/env bash
# Installs what is missing, builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer (warnings are errors), and runs every test: the
# concurrency tests under ThreadSanitizer too, and the fuzz targets (built
# with clang) over their seed folders. Exits non-zero when a test fails.
# HALVORN_SANITIZE=thread (or empty) picks another build; HALVORN_SKIP_TSAN
# and HALVORN_SKIP_FUZZ leave those passes out. The benchmarks are only compiled here; HALVORN_CI_BENCH=1 also builds
# their programs in Release (scripts/bench.sh runs them).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh" test

sanitize=${HALVORN_SANITIZE-address}
build="$root/build/test-${sanitize:-plain}"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHALVORN_QUICK_CHECK=ON \
  -DHALVORN_SANITIZE="$sanitize" -DHALVORN_BENCH=OFF -DHALVORN_WERROR=ON >/dev/null
cmake --build "$build"

if [ -n "${HALVORN_CI_BENCH:-}" ]; then
  bench_build="$root/build/bench"
  # Not with -Werror: at -O3 g++ 12 gives false -Wrestrict warnings in the
  # standard library's string code.
  cmake -S "$root" -B "$bench_build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DHALVORN_SANITIZE= \
    -DHALVORN_BENCH=ON -DHALVORN_WERROR=OFF >/dev/null
  cmake --build "$bench_build" --target benchmarks
fi

# The mail corpus some tests read; they skip with a notice when it cannot be had.
if corpus=$(bash "$root/scripts/fetch-corpus.sh"); then
  export HALVORN_CORPUS_DIR="$corpus"
else
  echo "test: the mail corpus could not be fetched; the tests that read it will skip" >&2
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# The concurrency tests run under ThreadSanitizer as well, before the main run
# so its summary comes last. tests/tsan.list names them, a file and a pattern
# of its suites a line; only those files are built there, into one program,
# concurrency_tests.
mapfile -t tsan_rows < <(grep -v '^\s*\(#\|$\)' "$root/tests/tsan.list")
tsan_file_list=(); tsan_suites=()
for row in "${tsan_rows[@]}"; do
  read -r file suites <<<"$row"
  tsan_file_list+=("$file"); tsan_suites+=("$suites")
done
tsan_files=$(IFS=";"; echo "${tsan_file_list[*]}")
tsan_tests="^($(IFS='|'; echo "${tsan_suites[*]}"))\."
if [ "$sanitize" != "thread" ] && [ -z "${HALVORN_SKIP_TSAN:-}" ]; then
  tsan_build="$root/build/test-thread"
  cmake -S "$root" -B "$tsan_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHALVORN_QUICK_CHECK=ON \
    -DHALVORN_SANITIZE=thread -DHALVORN_BENCH=OFF -DHALVORN_WERROR=ON \
    -DHALVORN_CONCURRENCY_TESTS="$tsan_files" >/dev/null
  cmake --build "$tsan_build" --target concurrency_tests
  rm -rf "$tsan_build/test-scratch"
  cd "$tsan_build"
  TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1} \
    ctest --output-on-failure -j "$(nproc)" -R "$tsan_tests"
fi

# The fuzz targets, built with clang, replay their seed folders (the inputs
# that once failed among them).
if [ -z "${HALVORN_SKIP_FUZZ:-}" ]; then
  HALVORN_FUZZ_NO_SETUP=1 bash "$root/scripts/fuzz.sh"
fi

# The main run: every test.
rm -rf "$build/test-scratch"
cd "$build"
ctest --output-on-failure -j "$(nproc)" "$@"

