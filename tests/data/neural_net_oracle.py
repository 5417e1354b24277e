# Independent transcriptions for the learning core's tests: a
# back-propagation network in numpy, the weight texts built with struct and
# base64, the number encoding of the network inputs, and the probability
# combination and input probability at 50 digits with mpmath.
#
# Imported by the tests' scripts (sys.path gets tests/data); nothing runs on
# import.
import base64
import math
import struct

import mpmath
import numpy as np


# ---- Network: weights[l] is an array of (neurons of layer l + 1) rows of
# (neurons of layer l) + 1 columns, the last column the bias.

def sigmoid(x, alpha):
    return 1.0 / (1.0 + np.exp(-alpha * x))


def forward(weights, x, alpha=1.0):
    """The outputs of every layer, the input layer first."""
    outs = [np.asarray(x, dtype=np.float64)]
    for w in weights:
        outs.append(sigmoid(w[:, :-1] @ outs[-1] + w[:, -1], alpha))
    return outs


def bp_step(weights, previous, x, target, rate, momentum, alpha=1.0):
    """One on-line step: forward, all deltas from the old weights, then the
    weights with momentum. Changes weights and previous in place."""
    outs = forward(weights, x, alpha)
    deltas = [None] * len(weights)
    y = outs[-1]
    deltas[-1] = (y - np.asarray(target)) * (alpha * y * (1.0 - y))
    for l in range(len(weights) - 2, -1, -1):
        y = outs[l + 1]
        deltas[l] = (alpha * y * (1.0 - y)) * (weights[l + 1][:, :-1].T @ deltas[l + 1])
    for l, w in enumerate(weights):
        inputs = np.append(outs[l], 1.0)
        change = -rate * np.outer(deltas[l], inputs) + momentum * previous[l]
        w += change
        previous[l][:] = change


# ---- Weight texts

def weight_payload(weights):
    out = b''
    for l, w in enumerate(weights):
        for n in range(w.shape[0]):
            out += struct.pack('<iii', l + 1, n, w.shape[1])
            out += struct.pack('<%dd' % w.shape[1], *w[n])
    return out


def e_text(weights):
    return 'e' + base64.b64encode(weight_payload(weights)).decode('ascii')


def read_payload(payload):
    """(layer, neuron, weights) of every whole record."""
    records = []
    at = 0
    while at + 12 <= len(payload):
        layer, neuron, count = struct.unpack_from('<iii', payload, at)
        if count < 0 or at + 12 + 8 * count > len(payload):
            break
        records.append((layer, neuron, list(struct.unpack_from('<%dd' % count, payload, at + 12))))
        at += 12 + 8 * count
    return records


def legacy_payload(sizes, weights, biases):
    """The older form: "6;1~" and N + 2 doubles a neuron, the last the bias
    that counts (the one before it is ignored)."""
    out = (';'.join(str(s) for s in sizes) + '~').encode('ascii')
    for l, w in enumerate(weights):
        for n in range(w.shape[0]):
            out += struct.pack('<%dd' % w.shape[1], *w[n])
            out += struct.pack('<d', biases[l][n])
    return out


# ---- Number encoding of the inputs: unsigned 32-bit arithmetic; a value
# above the maximum is all bits, a scaled value never passes them.

def encode_number(minimum, maximum, n, value):
    n = max(0, min(n, 32))
    top = (1 << n) - 1
    if maximum == minimum:
        maximum = top & 0xFFFFFFFF
    spread = (maximum - minimum) & 0xFFFFFFFF
    if value < minimum:
        v = 0
    elif value > maximum:
        v = top
    else:
        v = value - minimum
        if top < spread:
            v = min(int(math.ceil(v * (top / spread))), top)
    return [1 if (v >> i) & 1 else 0 for i in range(n)]


# ---- Probabilities at 50 digits

mpmath.mp.dps = 50
SMALLEST = mpmath.mpf('5e-324')


def clamp(p):
    p = mpmath.mpf(p)
    return SMALLEST if p < SMALLEST else (mpmath.mpf(1) if p > 1 else p)


def combine(a, b, c, d):
    x = clamp(a) * clamp(b)
    y = clamp(c) * clamp(d)
    v = x / (x + y)
    w = y / (x + y)
    r = v if v <= w else 1 - w
    # ((2r - 1)^3 + 1) / 2 expanded: the cube itself would cancel every
    # digit of an r far below 1e-50.
    return clamp(r * (4 * r * r - 6 * r + 3))


def input_bayes(spam_vectors, pers_vectors, vector):
    """The naive-Bayes estimate over stored vectors (values already as
    stored: byte / 255), counting the inputs exactly 1.0."""
    inputs = len(vector)
    spam_counts = [sum(1 for v in spam_vectors if v[i] == 1.0) for i in range(inputs)]
    pers_counts = [sum(1 for v in pers_vectors if v[i] == 1.0) for i in range(inputs)]
    p = mpmath.mpf('0.5')
    for i in range(inputs):
        if vector[i] == 1.0:
            p = combine(mpmath.mpf(spam_counts[i] + 1) / (len(spam_vectors) + 1), p,
                        mpmath.mpf(pers_counts[i] + 1) / (len(pers_vectors) + 1), 1 - p)
    return p
