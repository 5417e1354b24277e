#!/usr/bin/env bash
# The one entry point for every trained default the program ships. Each
# stage trains from the training groups of the mail corpus only (easy-ham-1
# and spam-1); no other group is read here, neither for training nor for a
# choice. Every run is deterministic (sorted files,
# fixed random seeds), so the committed files can be checked:
#
#   bash scripts/train-defaults.sh          trains every stage and writes its
#                                           files into the tree
#   bash scripts/train-defaults.sh --check  trains every stage into a
#                                           temporary folder and compares with
#                                           the committed files (exit 1 when
#                                           any differs)
#
# The programs are built in Release in build/train. HALVORN_TRAIN_JOBS runs
# that many trainings at a time (default 3).
#
# Stages (a later one may use what an earlier one wrote):
#   seed_dictionaries  src/classify/data/SpamBayesianDictionary.seed and
#       PersBayesianDictionary.seed: the dictionaries `halvorn-classify
#       --from-scratch` leaves after learning easy-ham-1 as personal and
#       spam-1 as spam, with the chain length that 5-fold cross-validation
#       inside those groups finds best (lengths 1 to 3; the fewest errors, the
#       shorter length on a tie; the figures are printed).
#
# A stage is a function stage_<name> OUT that writes its files under OUT at
# their paths in the tree, and lists those paths in the array stage_files.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
mode=write
case "${1:-}" in
  "") ;;
  --check) mode=check ;;
  *) echo "usage: train-defaults.sh [--check]" >&2; exit 2 ;;
esac

bash "$root/scripts/setup.sh" test
corpus=$(bash "$root/scripts/fetch-corpus.sh")
ham="$corpus/easy-ham-1"
spam="$corpus/spam-1"

build="$root/build/train"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DHALVORN_SANITIZE= \
  -DHALVORN_TESTS=OFF -DHALVORN_BENCH=OFF -DHALVORN_WERROR=OFF >/dev/null
cmake --build "$build" --target halvorn-classify
classify="$build/src/programs/classify/halvorn-classify"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
jobs=${HALVORN_TRAIN_JOBS:-3}

stage_files=()

stage_seed_dictionaries() {
  local out=$1
  # Cross-validation: file i of a group (sorted) is in fold i mod 5; each
  # fold is judged by dictionaries learned from the other four.
  /usr/bin/python3 - "$classify" "$ham" "$spam" "$work/cv" "$jobs" >"$work/chain-length" <<'PY'
import concurrent.futures, os, subprocess, sys

classify, ham_dir, spam_dir, work, jobs = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5])
FOLDS, LENGTHS = 5, (1, 2, 3)
def files(folder):
    return sorted(os.path.join(folder, name) for name in os.listdir(folder)
                  if os.path.isfile(os.path.join(folder, name)))
ham, spam = files(ham_dir), files(spam_dir)

def run(length, fold):
    data = os.path.join(work, "%d-%d" % (length, fold))
    learn_ham = [f for i, f in enumerate(ham) if i % FOLDS != fold]
    learn_spam = [f for i, f in enumerate(spam) if i % FOLDS != fold]
    judge = [f for i, f in enumerate(ham + spam) if (i if i < len(ham) else i - len(ham)) % FOLDS == fold]
    args = [classify, "--data", data, "--from-scratch", "--chain-length", str(length),
            "--learn-ham", *learn_ham, "--learn-spam", *learn_spam, "--judge", *judge]
    out = subprocess.run(args, check=True, capture_output=True, text=True).stdout
    hams = set(ham)
    false_spam = missed_spam = no_text = 0
    for line in out.splitlines():
        p, _, path = line.split("\t", 2)
        p = float(p)
        judged_spam = p >= 0.5
        no_text += p < 0
        if path in hams:
            false_spam += judged_spam
        else:
            missed_spam += not judged_spam
    return length, fold, false_spam, missed_spam, no_text

with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
    results = list(pool.map(lambda a: run(*a), [(l, f) for l in LENGTHS for f in range(FOLDS)]))
errors = {}
print("chain length, fold: ham judged spam / spam not judged spam / not enough text", file=sys.stderr)
for length, fold, false_spam, missed_spam, no_text in results:
    print("  %d, %d: %d / %d / %d" % (length, fold, false_spam, missed_spam, no_text), file=sys.stderr)
    errors[length] = errors.get(length, 0) + false_spam + missed_spam
total = len(ham) + len(spam)
for length in LENGTHS:
    print("chain length %d: %d errors in %d messages (%.2f%%)"
          % (length, errors[length], total, 100.0 * errors[length] / total), file=sys.stderr)
best = min(LENGTHS, key=lambda length: (errors[length], length))
print("chosen chain length: %d" % best, file=sys.stderr)
print(best)
PY
  local length
  length=$(cat "$work/chain-length")
  mkdir -p "$out/src/classify/data"
  "$classify" --data "$work/seeds" --from-scratch --chain-length "$length" \
    --learn-ham "$ham" --learn-spam "$spam" --write-seeds "$out/src/classify/data"
  stage_files+=(src/classify/data/SpamBayesianDictionary.seed src/classify/data/PersBayesianDictionary.seed)
}

stages=(seed_dictionaries)

if [ "$mode" = write ]; then out="$root"; else out="$work/out"; fi
for stage in "${stages[@]}"; do
  echo "== $stage"
  "stage_$stage" "$out"
done

if [ "$mode" = check ]; then
  status=0
  for file in "${stage_files[@]}"; do
    if cmp -s "$out/$file" "$root/$file"; then
      echo "same: $file"
    else
      echo "DIFFERS: $file" >&2
      status=1
    fi
  done
  exit $status
fi
