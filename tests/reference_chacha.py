"""A small pure-Python model of the fit's random generators.

It is written independently of the C++ code and produces the known answers pasted into
tests/cpp/test_random.cpp. Run it to print them: `python3 tests/reference_chacha.py`.
"""

MASK32 = 0xFFFFFFFF
MASK64 = 0xFFFFFFFFFFFFFFFF
CONSTANTS = (0x61707865, 0x3320646E, 0x79622D32, 0x6B206574)


def _rotl32(value, count):
    return ((value << count) | (value >> (32 - count))) & MASK32


def _quarter_round(s, a, b, c, d):
    s[a] = (s[a] + s[b]) & MASK32
    s[d] = _rotl32(s[d] ^ s[a], 16)
    s[c] = (s[c] + s[d]) & MASK32
    s[b] = _rotl32(s[b] ^ s[c], 12)
    s[a] = (s[a] + s[b]) & MASK32
    s[d] = _rotl32(s[d] ^ s[a], 8)
    s[c] = (s[c] + s[d]) & MASK32
    s[b] = _rotl32(s[b] ^ s[c], 7)


def chacha_block(state, rounds):
    """The 16 output words of one block from 16 input words."""
    working = list(state)
    for _ in range(rounds // 2):
        for a, b, c, d in ((0, 4, 8, 12), (1, 5, 9, 13), (2, 6, 10, 14), (3, 7, 11, 15)):
            _quarter_round(working, a, b, c, d)
        for a, b, c, d in ((0, 5, 10, 15), (1, 6, 11, 12), (2, 7, 8, 13), (3, 4, 9, 14)):
            _quarter_round(working, a, b, c, d)
    return [(w + s) & MASK32 for w, s in zip(working, state)]


def _words_le(data):
    return [int.from_bytes(data[i : i + 4], "little") for i in range(0, len(data), 4)]


def rfc_state(key, counter, nonce):
    """The input of the IETF layout: 32-bit block counter and 96-bit nonce."""
    return list(CONSTANTS) + _words_le(key) + [counter] + _words_le(nonce)


def generator_words(seed_bytes, count, rounds=12):
    """The first `count` words of the generator: 64-bit block counter from 0, stream 0."""
    key = _words_le(seed_bytes)
    words = []
    block = 0
    while len(words) < count:
        state = list(CONSTANTS) + key + [block & MASK32, block >> 32, 0, 0]
        words.extend(chacha_block(state, rounds))
        block += 1
    return words[:count]


def pcg32_seed_bytes(seed):
    """32 seed bytes from a 64-bit seed: eight PCG32 outputs, little-endian."""
    state = seed & MASK64
    out = bytearray()
    for _ in range(8):
        state = (state * 0x5851F42D4C957F2D + 0xA17654E46FBE17F3) & MASK64
        xorshifted = (((state >> 18) ^ state) >> 27) & MASK32
        rotation = state >> 59
        word = ((xorshifted >> rotation) | (xorshifted << ((32 - rotation) & 31))) & MASK32
        out += word.to_bytes(4, "little")
    return bytes(out)


def xor128_words(x, y, z, w, count):
    out = []
    for _ in range(count):
        t = (x ^ (x << 11)) & MASK32
        x, y, z = y, z, w
        w = (w ^ (w >> 19) ^ t ^ (t >> 8)) & MASK32
        out.append(w)
    return out


SEQUENTIAL_KEY = bytes(range(32))


def _hex_words(words):
    return ", ".join(f"0x{w:08x}" for w in words)


if __name__ == "__main__":
    print("chacha12, key 00..1f, words 0..19 and 64..67:")
    words = generator_words(SEQUENTIAL_KEY, 68)
    print(_hex_words(words[:20]))
    print(_hex_words(words[64:68]))
    print("chacha12, expand_seed(42), first 4 words:", _hex_words(generator_words(pcg32_seed_bytes(42), 4)))
    for seed in (0, 1, 42, MASK64):
        print(f"pcg32 seed {seed}:", pcg32_seed_bytes(seed).hex())
    print("xor128 default state:", xor128_words(123456789, 362436069, 521288629, 88675123, 4))
