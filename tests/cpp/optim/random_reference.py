"""An independent model of the optimisers' random source, standard library only.

Written from the generator's description rather than from the C++ code, and
deliberately in a different shape (the 64-bit draw handles its three buffer
cases explicitly), so that a shared misreading is less likely.  Counters record
how often the rarer paths ran, so the driver can prove it exercised them.
"""

import struct

MASK32 = 0xFFFFFFFF
MASK64 = 0xFFFFFFFFFFFFFFFF


def expand_seed(seed):
    """Eight PCG XSH-RR outputs of a 64-bit LCG started at the seed."""
    state = seed & MASK64
    key = []
    for _ in range(8):
        state = (state * 6364136223846793005 + 11634580027462260723) & MASK64
        word = ((state >> 45) ^ (state >> 27)) & MASK32
        rot = state >> 59
        key.append(((word >> rot) | (word << ((32 - rot) % 32))) & MASK32)
    return key


def _rotl(x, n):
    return ((x << n) | (x >> (32 - n))) & MASK32


def chacha_block(key, counter, rounds):
    """One keystream block: 16 words, 64-bit counter in words 12-13, zero nonce."""
    init = [0x61707865, 0x3320646E, 0x79622D32, 0x6B206574] + list(key) + [
        counter & MASK32,
        (counter >> 32) & MASK32,
        0,
        0,
    ]
    s = list(init)

    def qr(a, b, c, d):
        s[a] = (s[a] + s[b]) & MASK32
        s[d] = _rotl(s[d] ^ s[a], 16)
        s[c] = (s[c] + s[d]) & MASK32
        s[b] = _rotl(s[b] ^ s[c], 12)
        s[a] = (s[a] + s[b]) & MASK32
        s[d] = _rotl(s[d] ^ s[a], 8)
        s[c] = (s[c] + s[d]) & MASK32
        s[b] = _rotl(s[b] ^ s[c], 7)

    for _ in range(rounds // 2):
        qr(0, 4, 8, 12)
        qr(1, 5, 9, 13)
        qr(2, 6, 10, 14)
        qr(3, 7, 11, 15)
        qr(0, 5, 10, 15)
        qr(1, 6, 11, 12)
        qr(2, 7, 8, 13)
        qr(3, 4, 9, 14)
    return [(x + y) & MASK32 for x, y in zip(s, init)]


def bits_to_float(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def float_to_bits(value):
    return struct.unpack("<Q", struct.pack("<d", value))[0]


class Reference:
    def __init__(self, seed):
        self.key = expand_seed(seed)
        self.counter = 0
        self.words = []  # the current buffer of 64 words
        self.pos = 0
        self.straddles = 0
        self.redraws = 0
        self.rejections = 0
        self.inserts = 0

    def _refill(self):
        self.words = []
        for _ in range(4):
            self.words += chacha_block(self.key, self.counter, 12)
            self.counter += 1
        self.pos = 0

    def u32(self):
        if self.pos >= len(self.words):
            self._refill()
        w = self.words[self.pos]
        self.pos += 1
        return w

    def u64(self):
        left = len(self.words) - self.pos
        if left >= 2:
            lo, hi = self.words[self.pos], self.words[self.pos + 1]
            self.pos += 2
        elif left == 1:
            self.straddles += 1
            lo = self.words[self.pos]
            self._refill()
            hi = self.words[0]
            self.pos = 1
        else:
            self._refill()
            lo, hi = self.words[0], self.words[1]
            self.pos = 2
        return (hi << 32) | lo

    def uniform(self, low, high):
        assert low < high
        while True:
            v = bits_to_float((self.u64() >> 12) | 0x3FF0000000000000) - 1.0
            x = v * (high - low) + low
            if x < high:
                return x
            self.redraws += 1

    def unit(self):
        return (self.u64() >> 11) * 2.0**-53

    def bernoulli(self, p):
        u = self.u64()
        if p == 1.0:
            return True
        return u < int(p * 2.0**64)

    def integer(self, low, high):
        span = (high - low + 1) & MASK32
        if span == 0:
            return self.u32()
        lz = 32 - span.bit_length()
        zone = ((span << lz) & MASK32) - 1
        while True:
            m = span * self.u32()
            if (m & MASK32) <= zone:
                return low + (m >> 32)
            self.rejections += 1

    def sample(self, n, k):
        if k > n:
            raise ValueError("`amount` of samples must be less than or equal to `length`")
        out = []
        for j in range(n - k, n):
            t = self.integer(0, j)
            if t in out:
                self.inserts += 1
                out.insert(out.index(t), j)
            else:
                out.append(t)
        return out
