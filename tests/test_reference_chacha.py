"""Checks the Python model of the random generators whose outputs the C++ tests pin down."""

import pytest

import reference_chacha as ref


def _bytes(words):
    return b"".join(w.to_bytes(4, "little") for w in words)


def test_block_function_matches_rfc8439_section_2_3_2():
    key = bytes(range(32))
    nonce = bytes.fromhex("000000090000004a00000000")
    block = ref.chacha_block(ref.rfc_state(key, 1, nonce), 20)
    assert _bytes(block).hex() == (
        "10f1e7e4d13b5915500fdd1fa32071c4c7d1f4c733c068030422aa9ac3d46c4e"
        "d2826446079faa0914c2d705d98b02a2b5129cd1de164eb9cbd083e8a2503c4e"
    )


@pytest.mark.parametrize(
    ("counter", "expected"),
    [
        (
            0,
            "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7"
            "da41597c5157488d7724e03fb8d84a376a43b8f41518a11cc387b669b2ee6586",
        ),
        (
            1,
            "9f07e7be5551387a98ba977c732d080dcb0f29a048e3656912c6533e32ee7aed"
            "29b721769ce64e43d57133b074d839d531ed1f28510afb45ace10a1f4b794d6f",
        ),
    ],
)
def test_zero_key_keystream_matches_rfc8439_appendix_a1(counter, expected):
    block = ref.chacha_block(ref.rfc_state(bytes(32), counter, bytes(12)), 20)
    assert _bytes(block).hex() == expected


def test_twelve_round_generator_matches_published_zero_key_vector():
    # Zero key, zero 64-bit nonce, 12 rounds: the first keystream block.
    assert _bytes(ref.generator_words(bytes(32), 16)).hex() == (
        "9bf49a6a0755f953811fce125f2683d50429c3bb49e074147e0089a52eae155f"
        "0564f879d27ae3c02ce82834acfa8c793a629f2ca0de6919610be82f411326be"
    )


def test_generator_words_pasted_into_the_cpp_tests():
    words = ref.generator_words(ref.SEQUENTIAL_KEY, 68)
    assert words[:4] == [0xFFF931F2, 0x5EC67AD1, 0x25F30544, 0xAA40E9D7]
    assert words[16:20] == [0xA09AFA6C, 0xE0723B83, 0x52155CDB, 0x4683D13D]
    assert words[64:68] == [0x56E96AA5, 0x5D537674, 0xDAD147B0, 0xADE94004]
    assert ref.generator_words(ref.pcg32_seed_bytes(42), 4) == [
        0x222724A2,
        0x86CC7763,
        0x3FAD517D,
        0x8AF00A13,
    ]


@pytest.mark.parametrize(
    ("seed", "expected"),
    [
        (0, "ecf273f981b5cd4587f0467306ad6cadd0d0a3e33317e767f29bea72d78a7dfe"),
        (1, "ead81d725d26104e899c3bf842ce782ebad303da9997d2c2120256ac7366fb1b"),
        (42, "a48fa17b58323d0aeab8a1cc690114b82b8cc87518b4f7548d446ea1e4df20f2"),
        (2**64 - 1, "2f4792e3d610281035542d952cf95e439ae9347b03ddc537637ac7b04320613e"),
    ],
)
def test_pcg32_seed_expansion(seed, expected):
    assert ref.pcg32_seed_bytes(seed).hex() == expected


def test_pcg32_first_word_by_hand():
    # One step written out separately from the loop in the model.
    state = (0 * 0x5851F42D4C957F2D + 0xA17654E46FBE17F3) % 2**64
    xorshifted = ((state ^ (state >> 18)) >> 27) % 2**32
    rotation = state >> 59
    word = ((xorshifted >> rotation) | (xorshifted << (32 - rotation))) % 2**32
    assert ref.pcg32_seed_bytes(0)[:4] == word.to_bytes(4, "little")


def test_xor128_matches_marsaglias_published_first_output():
    assert ref.xor128_words(123456789, 362436069, 521288629, 88675123, 1) == [3701687786]
