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
#   bash scripts/train-defaults.sh [--check] STAGE...  only the named stages
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
#   rule_link_hosts  src/classify/rule_link_hosts.h: the advertised link
#       hosts that rules 133, 600, 602 to 607 and 620 of the rule catalogue
#       look for, and the names of rules 600 and 602 to 607. Deterministic
#       (files sorted, ties broken by name):
#       candidates  host names (not IP addresses) in http/https links, counted
#                   once per message, found in spam-1 and in no easy-ham-1
#                   message; a leading "www." is dropped
#       620         the candidates whose links in spam-1 carry a further address
#                   (a redirector): "http:" or "http%3a" after the host, or
#                   "url=" / "redirect" in the path; at most 5
#       133         the candidates of spam-1 messages that cite the bill S. 1618;
#                   at most 5
#       600, 602-607  the 7 most frequent remaining candidates found in at least
#                   3 spam-1 messages, one each; the rule's name is the host's
#                   first label in capitals + "_URL"
#
# A stage is a function stage_<name> OUT that writes its files under OUT at
# their paths in the tree, and lists those paths in the array stage_files.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
mode=write
if [ "${1:-}" = --check ]; then
  mode=check
  shift
fi

bash "$root/scripts/setup.sh" test
corpus=$(bash "$root/scripts/fetch-corpus.sh")
ham="$corpus/easy-ham-1"
spam="$corpus/spam-1"

build="$root/build/train"
classify="$build/src/programs/classify/halvorn-classify"
# Builds halvorn-classify once, for the stages that run it.
build_classify() {
  [ -n "${classify_built:-}" ] && return
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DHALVORN_SANITIZE= \
    -DHALVORN_TESTS=OFF -DHALVORN_BENCH=OFF -DHALVORN_WERROR=OFF >/dev/null
  cmake --build "$build" --target halvorn-classify
  classify_built=1
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
jobs=${HALVORN_TRAIN_JOBS:-3}

stage_files=()

stage_seed_dictionaries() {
  local out=$1
  build_classify
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

stage_rule_link_hosts() {
  local out=$1
  mkdir -p "$out/src/classify"
  /usr/bin/python3 - "$ham" "$spam" "$out/src/classify/rule_link_hosts.h" <<'PY'
import collections, os, re, sys

ham_dir, spam_dir, out = sys.argv[1:4]
LINK = re.compile(rb'https?://([A-Za-z0-9.-]+)([^\s"\'<>]*)', re.I)
IP = re.compile(r'^\d+(\.\d+){3}$')
REDIRECT = re.compile(r'(https?(:|%3a)|url=|redirect)', re.I)
BILL = re.compile(rb'(S\.? ?1618|Bill +1618|1618,? +Title)', re.I)


def host_of(raw):
    host = raw.decode('latin-1').lower().rstrip('.')
    return host[4:] if host.startswith('www.') else host


def scan(folder):
    counts, redirects, bill = collections.Counter(), collections.Counter(), collections.Counter()
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), 'rb') as f:
            data = f.read()
        links = [(host_of(h), p.decode('latin-1')) for h, p in LINK.findall(data)]
        hosts = {h for h, _ in links if h and not IP.match(h)}
        counts.update(hosts)
        redirects.update({h for h, p in links if h in hosts and REDIRECT.search(p)})
        if BILL.search(data):
            bill.update(hosts)
    return counts, redirects, bill


ham, _, _ = scan(ham_dir)
spam, spam_redirects, spam_bill = scan(spam_dir)


def ranked(counter, least=1):
    rows = [(n, h) for h, n in counter.items() if n >= least and ham[h] == 0]
    return [h for n, h in sorted(rows, key=lambda r: (-r[0], r[1]))]


redirectors = ranked(spam_redirects)[:5]
bill_hosts = [h for h in ranked(spam_bill) if h not in redirectors][:5]
used = set(redirectors) | set(bill_hosts)
sites = [h for h in ranked(spam, 3) if h not in used][:7]
if len(sites) < 7 or not redirectors or not bill_hosts:
    sys.exit('rule_link_hosts: too few candidates')


def escaped(host):
    return host.replace('.', r'\\.').replace('-', r'\\-')


def alternatives(hosts):
    return '(?:' + '|'.join(escaped(h) for h in hosts) + ')'


names = []
for host in sites:
    name = re.sub(r'[^A-Z0-9]+', '_', host.split('.')[0].upper()).strip('_') + '_URL'
    if name[0].isdigit() or name in names:
        name = re.sub(r'[^A-Z0-9]+', '_', host.upper()).strip('_') + '_URL'
    names.append(name)

lines = [
    '// Written by the rule_link_hosts stage of scripts/train-defaults.sh from',
    '// the training groups of the mail corpus; do not edit by hand. Included',
    '// by the rule tables only.',
    '#pragma once',
    '',
    '// Hosts of redirectors that bulk mail links through (rule 620).',
    '#define HALVORN_RULE_620_TEXT "/https?:\\\\/\\\\/([a-z0-9-]+\\\\.)*' + alternatives(redirectors) + '\\\\b/i"',
    '// Hosts linked from mail that cites the bill (rule 133).',
    '#define HALVORN_RULE_133_TEXT "/https?:\\\\/\\\\/([a-z0-9-]+\\\\.)*' + alternatives(bill_hosts) + '\\\\b/i"',
    '// Advertised web sites, one per rule (600, 602 to 607).',
]
for number, name, host in zip([600, 602, 603, 604, 605, 606, 607], names, sites):
    lines.append('#define HALVORN_RULE_%d_NAME %s' % (number, name))
    lines.append('#define HALVORN_RULE_%d_TEXT "/\\\\b%s\\\\b/i"' % (number, host))
with open(out, 'w') as f:
    f.write('\n'.join(lines) + '\n')
PY
  stage_files+=(src/classify/rule_link_hosts.h)
}

stages=(seed_dictionaries rule_link_hosts)
if [ $# -gt 0 ]; then
  for stage in "$@"; do
    if ! declare -F "stage_$stage" >/dev/null; then
      echo "usage: train-defaults.sh [--check] [STAGE...]; stages: ${stages[*]}" >&2
      exit 2
    fi
  done
  stages=("$@")
fi

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
