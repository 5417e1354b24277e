"""Python transcriptions of the Bayesian dictionaries and tests, for the
classification tests: the word hash (hashlib), word chains, the dictionary
file (struct), the rare-feature probability, the unseen share and the chained
Bayes probability (mpmath, with the combination of neural_net_oracle)."""

import hashlib
import struct

import mpmath

import neural_net_oracle

HEADER_SIZE = 1022
SLOTS = 1000000
IMAGE_SIZE = HEADER_SIZE + 2 * SLOTS
RING = 1000

mpmath.mp.dps = 60


def checksum(word):
    """md5 of the bytes with A-Z lower-cased, the first four digest bytes
    little-endian, shifted right by 8."""
    lower = bytes(c + 32 if 65 <= c <= 90 else c for c in word)
    return struct.unpack("<I", hashlib.md5(lower).digest()[:4])[0] >> 8


def word_chains(words, n):
    """(text, hash) features of the words (bytes)."""
    hashes = [checksum(w) for w in words]
    if n <= 1 or len(words) <= n:
        return list(zip(words, hashes))

    def chain(indices):
        h = 0
        for i in indices:
            h ^= hashes[i]
        return (b" ".join(words[i] for i in indices).strip(), h)

    out = [chain([i for i in range(n) if p >> i & 1]) for p in range(1, 2 ** n)]
    for r in range(1, len(words) - n + 1):
        last = r + n - 1
        out.append(chain([last]))
        for p in range(1, 2 ** (n - 1)):
            out.append(chain([r + i for i in range(n - 1) if p >> i & 1] + [last]))
    return out


def offset(slot):
    return SLOTS * 2 + 2 * slot if slot < HEADER_SIZE // 2 else 2 * slot


def write_dictionary(path, counts, token_count=None, token_sum=None, chain_length=1,
                     ring=None, version=1):
    """A table image with the counts ({slot: count}); token count and sum
    default to what the counts give."""
    image = bytearray(IMAGE_SIZE)
    if token_count is None:
        token_count = sum(1 for c in counts.values() if c)
    if token_sum is None:
        token_sum = sum(counts.values())
    ring = ring if ring is not None else bytes([2]) * RING
    image[0:22] = struct.pack("<IIBBIII", HEADER_SIZE, version, chain_length, 16, SLOTS,
                              token_count & 0xFFFFFFFF, token_sum & 0xFFFFFFFF)
    image[22:HEADER_SIZE] = ring
    for slot, count in counts.items():
        struct.pack_into("<H", image, offset(slot), count)
    with open(path, "wb") as f:
        f.write(image)


class Dictionary:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.image = f.read()
        (self.header_size, self.version, self.chain_length, self.bits, self.slots,
         self.token_count, self.token_sum) = struct.unpack_from("<IIBBIII", self.image, 0)
        self.ring = self.image[22:HEADER_SIZE]

    def count(self, hash_):
        return struct.unpack_from("<H", self.image, offset(hash_ % SLOTS))[0]


def rank(sorted_totals, value):
    if len(sorted_totals) < 2:
        return 0.5
    for i, t in enumerate(sorted_totals):
        if t > value:
            return i / len(sorted_totals)
    return 0.99


def bayes(hashes, spam, pers):
    """(probability, relevant) of the features against the dictionaries."""
    p = mpmath.mpf("0.5")
    relevant = 0
    if spam.token_sum == 0 or pers.token_sum == 0:
        return p, relevant
    counts = [(spam.count(h), pers.count(h)) for h in hashes]
    totals = sorted(s + q for s, q in counts)
    for s, q in counts:
        if s == 0 and q == 0:
            continue
        if s == 0 or q == 0:
            s, q = s + 1, q + 1
        ps = mpmath.mpf(s) / spam.token_sum
        pp = mpmath.mpf(q) / pers.token_sum
        m = neural_net_oracle.combine(ps, mpmath.mpf("0.5"), pp, mpmath.mpf("0.5"))
        if rank(totals, s + q) >= 0.6 or mpmath.mpf("0.01") <= m <= mpmath.mpf("0.8"):
            p = neural_net_oracle.combine(ps, p, pp, 1 - p)
            relevant += 1
    return p, relevant


def rare(counts_a, counts_b, tokens_a, tokens_b, fraction):
    n = len(counts_a)
    if n < 10:
        return mpmath.mpf(-1)
    a, b = sorted(counts_a), sorted(counts_b)
    k = min(round(n * fraction), n - 1)  # Python's round: halves to even
    sa, sb = sum(a[:k + 1]), sum(b[:k + 1])
    if sa + sb < 10:
        return mpmath.mpf(-2) if tokens_a + tokens_b > 1000 else mpmath.mpf("0.5")
    if sa == 0:
        return mpmath.mpf(0)
    if sb == 0:
        return mpmath.mpf(1)
    pa, pb = mpmath.mpf(sa) / tokens_a, mpmath.mpf(sb) / tokens_b
    return pa / (pa + pb)


def unseen(counts):
    if not counts:
        return mpmath.mpf(-1)
    return mpmath.mpf(sum(1 for c in counts if c == 0)) / len(counts)
