#!/usr/bin/python3
"""Builds src/classify/bigram_counts.cpp, the table of how often each pair of
adjacent characters occurs in ordinary writing, from the training ham only
(easy-ham-1): the decoded text parts and the subjects of its messages.

Characters are mapped as the scores map them: TAB, LF and CR to the blank,
other codes below 32 or above 126 to 127; a pair of two CRs is skipped. The
counts are scaled so that the largest fits 16 bits, and a pair seen at all
keeps at least 1. Deterministic: the messages are read in name order.

Usage: make-bigram-counts.py CORPUS_DIR OUTPUT.cpp
Prints M and L of the table written.
"""
import email
import email.header
import email.policy
import math
import os
import sys


def mapped(c):
    if c in (9, 10, 13):
        return 32
    if c < 32 or c > 126:
        return 127
    return c


def add_pairs(counts, data):
    for i in range(len(data) - 1):
        a, b = data[i], data[i + 1]
        if a == 13 and b == 13:
            continue
        counts[(mapped(a) - 32) * 96 + mapped(b) - 32] += 1


def texts_of(raw):
    msg = email.message_from_bytes(raw, policy=email.policy.compat32)
    subject = msg.get("Subject")
    if subject is not None:
        try:
            parts = email.header.decode_header(str(subject))
            yield b"".join(p if isinstance(p, bytes) else p.encode("latin-1", "replace")
                           for p, _ in parts)
        except Exception:
            pass
    for part in msg.walk():
        if part.get_content_maintype() != "text":
            continue
        payload = part.get_payload(decode=True)
        if payload:
            yield payload


def main():
    corpus, output = sys.argv[1], sys.argv[2]
    folder = os.path.join(corpus, "easy-ham-1")
    counts = [0] * (96 * 96)
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), "rb") as f:
            raw = f.read()
        for text in texts_of(raw):
            add_pairs(counts, text)
    top = max(counts)
    if top > 65535:
        table = [0 if n == 0 else max(1, n * 65535 // top) for n in counts]
    else:
        table = counts
    m = sum(table) / 9025.0
    l = sum(math.log(v + 1) for v in table) / 9025.0
    with open(output, "w") as out:
        out.write("// Made by scripts/make-bigram-counts.py from the training ham; do not edit.\n")
        out.write('#include "classify/random_strings.h"\n\nnamespace halvorn {\n\n')
        out.write("const std::array<std::uint16_t, kBigramTableSize> BigramCounts = {\n")
        for row in range(96):
            values = table[row * 96:(row + 1) * 96]
            for i in range(0, 96, 12):
                out.write("    " + ", ".join(str(v) for v in values[i:i + 12]) + ",\n")
        out.write("};\n\n}  // namespace halvorn\n")
    print("M = %.9f" % m)
    print("L = %.9f" % l)


if __name__ == "__main__":
    main()
