"""Property tests: the native text primitives against Python's own built-ins.

The primitives are reached through the probe library (a C-ABI wrapper built with
the C++ tests); its path comes from the QUILLON_PROBE_LIB environment variable.
"""

import ctypes
import math
import os
import struct

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

LIB_PATH = os.environ.get("QUILLON_PROBE_LIB")
if not LIB_PATH:
    pytest.skip(
        "QUILLON_PROBE_LIB is not set (point it at libquillon_probe.so from a "
        "build with QUILLON_BUILD_TESTS=ON)",
        allow_module_level=True,
    )

lib = ctypes.CDLL(LIB_PATH)
lib.qn_probe_py_int.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.POINTER(ctypes.c_int64)]
lib.qn_probe_py_int.restype = ctypes.c_int
lib.qn_probe_py_float.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.POINTER(ctypes.c_double)]
lib.qn_probe_py_float.restype = ctypes.c_int
lib.qn_probe_py_strip.argtypes = [
    ctypes.c_char_p,
    ctypes.c_size_t,
    ctypes.POINTER(ctypes.c_size_t),
    ctypes.POINTER(ctypes.c_size_t),
]
lib.qn_probe_py_strip.restype = None
lib.qn_probe_py_split.argtypes = [
    ctypes.c_char_p,
    ctypes.c_size_t,
    ctypes.POINTER(ctypes.c_size_t),
    ctypes.c_size_t,
]
lib.qn_probe_py_split.restype = ctypes.c_size_t
lib.qn_probe_strip_underscores.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p]
lib.qn_probe_strip_underscores.restype = ctypes.c_ssize_t

INT_OK, INT_OUT_OF_RANGE, INT_NOT_INTEGER = 0, 1, 2
INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1

# --- wrappers ---------------------------------------------------------------


def native_int(text: str):
    raw = text.encode()
    value = ctypes.c_int64(0)
    status = lib.qn_probe_py_int(raw, len(raw), ctypes.byref(value))
    return status, value.value


def native_float(text: str):
    raw = text.encode()
    value = ctypes.c_double(0.0)
    ok = lib.qn_probe_py_float(raw, len(raw), ctypes.byref(value))
    return value.value if ok else None


def native_strip(text: str) -> str:
    raw = text.encode()
    start, length = ctypes.c_size_t(), ctypes.c_size_t()
    lib.qn_probe_py_strip(raw, len(raw), ctypes.byref(start), ctypes.byref(length))
    return raw[start.value : start.value + length.value].decode()


def native_split(text: str) -> list:
    raw = text.encode()
    capacity = len(raw) + 1
    pairs = (ctypes.c_size_t * (2 * capacity))()
    n = lib.qn_probe_py_split(raw, len(raw), pairs, capacity)
    assert n <= capacity
    return [raw[pairs[2 * i] : pairs[2 * i] + pairs[2 * i + 1]].decode() for i in range(n)]


def native_strip_underscores(text: str):
    raw = text.encode()
    out = ctypes.create_string_buffer(len(raw) + 1)
    n = lib.qn_probe_strip_underscores(raw, len(raw), out)
    return None if n < 0 else out.raw[:n].decode()


# --- references -------------------------------------------------------------


def python_int(text: str):
    try:
        value = int(text)
    except ValueError:
        return INT_NOT_INTEGER, None
    if INT64_MIN <= value <= INT64_MAX:
        return INT_OK, value
    return INT_OUT_OF_RANGE, None


def python_float(text: str):
    try:
        return float(text)
    except ValueError:
        return None


def bits(x: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def same_float(got, want) -> bool:
    if want is None or got is None:
        return got is None and want is None
    if math.isnan(want):
        return math.isnan(got) and math.copysign(1.0, got) == math.copysign(1.0, want)
    return bits(got) == bits(want)


# The restrictions the primitives work under: ASCII digits only and no white
# space around a number (both are rejected natively, accepted by Python).
def within_number_domain(text: str) -> bool:
    return text.isascii() and text == text.strip()


# --- strategies -------------------------------------------------------------

WHITE_SPACE = "\t\n\x0b\x0c\r\x1c\x1d\x1e\x1f \x85\xa0\u1680" + "".join(
    chr(c) for c in range(0x2000, 0x200B)
) + "\u2028\u2029\u202f\u205f\u3000"
# Characters that look like white space to some other definition, but not Python's.
NEAR_WHITE_SPACE = "\u180e\u200b\ufeff\u00ad\u2060x-"

digits = st.text(alphabet="0123456789", min_size=1, max_size=30)
long_digits = st.text(alphabet="0123456789", min_size=1, max_size=900)


@st.composite
def underscored(draw, digit_strategy=digits):
    """Digits with underscores inserted, sometimes in illegal places."""
    text = draw(digit_strategy)
    if draw(st.booleans()):
        return text
    chars = list(text)
    for _ in range(draw(st.integers(1, 3))):
        pos = draw(st.integers(0, len(chars)))
        chars.insert(pos, "_")
    return "".join(chars)


sign = st.sampled_from(["", "", "+", "-", "--", "+-"])


@st.composite
def int_texts(draw):
    kind = draw(st.integers(0, 3))
    if kind == 0:
        return draw(sign) + draw(underscored())
    if kind == 1:
        # Values around the 64-bit limits.
        base = draw(st.sampled_from([INT64_MIN, INT64_MAX, 0, 2**64]))
        return str(base + draw(st.integers(-3, 3)))
    if kind == 2:
        return draw(sign) + "0" * draw(st.integers(0, 25)) + draw(digits)
    return draw(st.text(alphabet="0123456789+-_ .eEx", max_size=12))


@st.composite
def float_texts(draw):
    kind = draw(st.integers(0, 5))
    if kind <= 1:
        mantissa = draw(
            st.sampled_from(
                [
                    lambda: draw(underscored()),
                    lambda: draw(underscored()) + "." + draw(underscored()),
                    lambda: draw(underscored()) + ".",
                    lambda: "." + draw(underscored()),
                    lambda: ".",
                    lambda: "",
                ]
            )
        )()
        exponent = ""
        if draw(st.booleans()):
            exponent = (
                draw(st.sampled_from(["e", "E"]))
                + draw(st.sampled_from(["", "+", "-", "_"]))
                + draw(st.one_of(underscored(st.text("0123456789", max_size=4)), st.just("")))
            )
        return draw(sign) + mantissa + exponent
    if kind == 2:
        # Long significands and extreme exponents: the slow path and its limits.
        mantissa = draw(long_digits)
        point = draw(st.integers(0, len(mantissa)))
        exp = draw(st.integers(-1200, 1200))
        return draw(sign) + mantissa[:point] + "." + mantissa[point:] + "e" + str(exp)
    if kind == 3:
        word = draw(st.sampled_from(["inf", "infinity", "nan", "infin", "nana", "in", "na", "infinit"]))
        word = "".join(c.upper() if draw(st.booleans()) else c for c in word)
        return draw(sign) + word
    if kind == 4:
        # Doubles written out by Python itself, which must come back bit-exact.
        value = draw(st.floats(allow_nan=False, allow_infinity=False))
        return draw(st.sampled_from([repr(value), f"{value:.17e}", f"{value:.25g}", f"{value:.3e}"]))
    return draw(st.text(alphabet="0123456789+-_.eEinfatyINFATY", max_size=14))


mixed_text = st.text(
    alphabet=st.one_of(
        st.sampled_from(WHITE_SPACE + NEAR_WHITE_SPACE + "ab1"),
        st.characters(blacklist_categories=("Cs",)),
    ),
    max_size=40,
)

# --- properties -------------------------------------------------------------

SETTINGS = settings(max_examples=3000, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@SETTINGS
@given(int_texts())
@example("9223372036854775807")
@example("-9223372036854775808")
@example("9223372036854775808")
@example("-9223372036854775809")
@example("0_0")
@example("-_1")
def test_py_int_matches_int(text):
    if not within_number_domain(text):
        return
    status, value = native_int(text)
    want_status, want_value = python_int(text)
    assert status == want_status, text
    if want_status == INT_OK:
        assert value == want_value, text


@SETTINGS
@given(float_texts())
@example("2.4703282292062327e-324")
@example("2.4703282292062328e-324")
@example("1.7976931348623158e308")
@example("1.7976931348623159e308")
@example("9007199254740993")
@example("0." + "0" * 400 + "1e400")
@example("1" * 400 + "e-400")
@example("-nan")
@example("1e" + "9" * 30)
@example("0e" + "9" * 30)
def test_py_float_matches_float(text):
    if not within_number_domain(text):
        return
    assert same_float(native_float(text), python_float(text)), text


@SETTINGS
@given(st.floats(allow_nan=False))
def test_py_float_round_trips_repr(value):
    text = repr(value)
    assert same_float(native_float(text), value), text


@SETTINGS
@given(st.one_of(int_texts(), float_texts()))
def test_strip_underscores_matches_python_rule(text):
    # An underscore is allowed exactly where it stands between two ASCII digits;
    # the removal must then leave every other character in place.
    got = native_strip_underscores(text)
    if "_" not in text:
        assert got == text
        return
    valid = all(
        0 < i < len(text) - 1 and text[i - 1].isdigit() and text[i + 1].isdigit()
        for i, c in enumerate(text)
        if c == "_"
    )
    assert got == (text.replace("_", "") if valid else None), text


@SETTINGS
@given(mixed_text)
@example("\xa0ab\u3000")
@example("a\u200bb\x1c")
@example("\u2005\u2028")
def test_py_strip_matches_strip(text):
    assert native_strip(text) == text.strip()


@SETTINGS
@given(mixed_text)
@example("")
@example(" \t a \tb  c\t ")
@example("x\xa0y")
def test_py_split_matches_split(text):
    assert native_split(text) == text.split()


@SETTINGS
@given(mixed_text)
def test_number_parsers_reject_what_python_rejects_on_any_text(text):
    # Arbitrary text: wherever Python fails, the native parsers fail too, and
    # inside the supported domain the outcomes agree.
    if python_float(text) is None:
        assert native_float(text) is None, text
    if python_int(text)[0] == INT_NOT_INTEGER:
        assert native_int(text)[0] == INT_NOT_INTEGER, text
    if within_number_domain(text):
        assert same_float(native_float(text), python_float(text)), text
        assert native_int(text)[0] == python_int(text)[0], text
