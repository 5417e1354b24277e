#!/usr/bin/env bash
# Installs what is missing, builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test. Exits non-zero when a test
# fails. HALVORN_SANITIZE=thread (or empty) picks another build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh" test

sanitize=${HALVORN_SANITIZE-address}
build="$root/build/test-${sanitize:-plain}"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DHALVORN_SANITIZE="$sanitize" >/dev/null
cmake --build "$build"

# The mail corpus some tests read; they skip with a notice when it cannot be had.
if corpus=$(bash "$root/scripts/fetch-corpus.sh"); then
  export HALVORN_CORPUS_DIR="$corpus"
else
  echo "test: the mail corpus could not be fetched; the tests that read it will skip" >&2
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# The concurrency tests run under ThreadSanitizer as well (only their own
# programs are built there), before the main run so its summary comes last.
# tests/tsan.list names them: a test program and a pattern of its suites a line.
mapfile -t tsan_rows < <(grep -v '^\s*\(#\|$\)' "$root/tests/tsan.list")
tsan_targets=(); tsan_suites=()
for row in "${tsan_rows[@]}"; do
  read -r target suites <<<"$row"
  tsan_targets+=("$target"); tsan_suites+=("$suites")
done
tsan_tests="^($(IFS='|'; echo "${tsan_suites[*]}"))\."
if [ "$sanitize" != "thread" ] && [ -z "${HALVORN_SKIP_TSAN:-}" ]; then
  tsan_build="$root/build/test-thread"
  cmake -S "$root" -B "$tsan_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DHALVORN_SANITIZE=thread -DHALVORN_BENCH=OFF >/dev/null
  cmake --build "$tsan_build" --target "${tsan_targets[@]}"
  rm -rf "$tsan_build/test-scratch"
  cd "$tsan_build"
  TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1} \
    ctest --output-on-failure -j "$(nproc)" -R "$tsan_tests"
fi

# The main run: every test.
rm -rf "$build/test-scratch"
cd "$build"
ctest --output-on-failure -j "$(nproc)" "$@"

