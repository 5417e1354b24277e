# Decides plain rule patterns with Python's re on bytes: the needle escaped,
# "\b" at either end an ASCII word boundary, "i" ASCII case folding. Input
# lines as rule_oracle.pl reads them ("P hex mods", "T hex"); prints one
# character (1 or 0) per pattern for each text.
import re
import sys

patterns = []
for line in sys.stdin.buffer:
    parts = line.rstrip(b'\n').split(b' ')
    data = bytes.fromhex(parts[1].decode()) if len(parts) > 1 else b''
    if parts[0] == b'P':
        left = data.startswith(b'\\b')
        if left:
            data = data[2:]
        right = len(data) >= 2 and data.endswith(b'\\b')
        if right:
            data = data[:-2]
        if not data:
            patterns.append(None)
            continue
        source = ((rb'(?<![A-Za-z0-9_])' if left else b'') + re.escape(data) +
                  (rb'(?![A-Za-z0-9_])' if right else b''))
        caseless = b'i' in (parts[2].lower() if len(parts) > 2 else b'')
        patterns.append(re.compile(source, re.IGNORECASE if caseless else 0))
    else:
        sys.stdout.write(''.join('0' if p is None else ('1' if p.search(data) else '0')
                                 for p in patterns) + '\n')
