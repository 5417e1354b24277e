#!/usr/bin/env bash
# The libFuzzer targets of fuzz/, built with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer, warnings are errors) in build/fuzz.
#
#   bash scripts/fuzz.sh
#       builds them and runs every input of each target's seed folder
#       (fuzz/seeds/<target>/) through it once; exits non-zero when an input
#       fails. The test command runs this.
#   bash scripts/fuzz.sh run SECONDS [TARGET...]
#       fuzzes each target (all without names) for SECONDS, starting from its
#       seed folder and, where the target reads mail, from seeds cut out of
#       the mail corpus (fuzz/corpus_seeds.py). What it learns stays in
#       build/fuzz/work/<target>/, inputs that fail land in
#       build/fuzz/findings/<target>/ (copy them into the seed folder once
#       fixed). HALVORN_FUZZ_JOBS targets run at a time (default 1), at the
#       lowest priority; each one's output goes to build/fuzz/logs/<target>.log.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/fuzz"
mode=${1:-replay}

if [ "${HALVORN_FUZZ_NO_SETUP:-}" = "" ]; then bash "$root/scripts/setup.sh" test; fi
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHALVORN_QUICK_CHECK=ON \
  -DCMAKE_CXX_COMPILER=clang++ -DHALVORN_FUZZ=ON -DHALVORN_TESTS=OFF -DHALVORN_BENCH=OFF \
  -DHALVORN_WERROR=ON >/dev/null
cmake --build "$build" --target fuzz_targets

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

all_targets=()
for source in "$root"/fuzz/*_fuzz.cpp; do all_targets+=("$(basename "$source" _fuzz.cpp)"); done

if [ "$mode" = replay ]; then
  failed=()
  for target in "${all_targets[@]}"; do
    seeds="$root/fuzz/seeds/$target"
    mapfile -t inputs < <(find "$seeds" -type f 2>/dev/null | sort)
    if [ ${#inputs[@]} -eq 0 ]; then
      echo "fuzz: $target has no seeds: add inputs to fuzz/seeds/$target/" >&2
      failed+=("$target")
      continue
    fi
    log="$build/replay-$target.log"
    if "$build/fuzz/${target}_fuzz" "${inputs[@]}" >"$log" 2>&1; then
      echo "fuzz: $target: ${#inputs[@]} seeds pass"
    else
      cat "$log" >&2
      echo "fuzz: $target FAILED on a seed (log above)" >&2
      failed+=("$target")
    fi
  done
  [ ${#failed[@]} -eq 0 ] || { echo "fuzz: failed: ${failed[*]}" >&2; exit 1; }
  exit 0
fi

[ "$mode" = run ] || { echo "usage: fuzz.sh [run SECONDS [TARGET...]]" >&2; exit 2; }
seconds=${2:?"usage: fuzz.sh run SECONDS [TARGET...]"}
shift 2
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")
corpus=""
if [ -z "${HALVORN_CORPUS_DIR:-}" ]; then
  corpus=$(bash "$root/scripts/fetch-corpus.sh") || corpus=""
else
  corpus=$HALVORN_CORPUS_DIR
fi
mkdir -p "$build/logs"

fuzz_one() {
  local target=$1
  local work="$build/work/$target" findings="$build/findings/$target"
  local mail="$build/corpus-seeds/$target"
  mkdir -p "$work" "$findings"
  if [ -n "$corpus" ] && [ ! -d "$mail" ]; then
    /usr/bin/python3 "$root/fuzz/corpus_seeds.py" "$target" "$corpus" "$mail" >/dev/null
  fi
  local dirs=("$work" "$root/fuzz/seeds/$target")
  [ -d "$mail" ] && [ -n "$(ls -A "$mail")" ] && dirs+=("$mail")
  local options=()
  case $target in
    # Whole messages are cut at 64 KiB in the seeds; let inputs grow that far.
    email_msg_part | email_header | mime_decoders | html_parser | email_msg_html | email_msg_notice)
      options+=(-max_len=65536) ;;
  esac
  # One child at a time that is restarted after a failure, so one finding
  # does not end the run.
  nice -n 19 "$build/fuzz/${target}_fuzz" -max_total_time="$seconds" "${options[@]}" \
    -fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1 -timeout=30 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$findings/" "${dirs[@]}" >"$build/logs/$target.log" 2>&1
  local status=$?
  echo "fuzz: $target ended with $status; findings: $(ls "$findings" | wc -l)"
}
export -f fuzz_one
export build root seconds corpus
printf '%s\n' "${targets[@]}" |
  xargs -P "${HALVORN_FUZZ_JOBS:-1}" -I{} bash -c 'fuzz_one "$1"' _ {}
