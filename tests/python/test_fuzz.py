"""Random calls of the four functions. Every call must return a result of the
documented shape and dtype, equal to the result for C-contiguous copies of
its arrays, or raise the exception its arguments call for.

TRELVANE_FUZZ_SECONDS sets the time budget (3 s by default; make sanitize
gives it a minute in the sanitizer build), TRELVANE_FUZZ_SEED the seed (a new
one each run by default). A failure names the seed and the case."""
import math
import os
import secrets
import time

import numpy as np
import pytest

import trelvane

BUDGET = float(os.environ.get("TRELVANE_FUZZ_SECONDS", "3"))
SEED = int(os.environ.get("TRELVANE_FUZZ_SEED", secrets.randbits(32)))
MAX_INTP = np.iinfo(np.intp).max
# Beyond the 47-bit user address space: no allocation of this many bytes succeeds.
UNALLOCATABLE = 2 ** 47

DTYPES = [np.dtype(c) for c in "?bhilqBHILQefdgFDG"] + [
    np.dtype(t) for t in ("S3", "U2", "O", "V4", "M8[s]", "m8[s]", ">u2", ">f4", ">f8")]
U8, U16, F32, F64 = (np.dtype(t) for t in ("u1", "u2", "f4", "f8"))


class Case:
    """One call's arguments, and what they call for."""

    def __init__(self, rng):
        self.rng = rng
        self.faults = set()    # exception types of the invalid arguments
        self.enormous = False  # an input no copy of which can be allocated

    def pick(self, *options, p=None):
        return options[self.rng.choice(len(options), p=p)]

    def sometimes_wrong(self, value, chance, *wrong):
        """value, or by chance one of the (value, exception type) pairs of wrong."""
        if self.rng.random() >= chance:
            return value
        bad, kind = wrong[self.rng.integers(len(wrong))]
        self.faults.add(kind)
        return bad

    def image(self, accepted, ndim, channels=None):
        """Mostly an array of an accepted dtype and ndim, in any layout."""
        rng = self.rng
        dtype = self.pick(*accepted) if rng.random() < 0.8 else DTYPES[rng.integers(len(DTYPES))]
        rank = ndim if rng.random() < 0.95 else int(rng.integers(0, 5))
        shape = [int(rng.integers(0, 6)) for _ in range(rank)]
        if channels and rank == 3 and rng.random() < 0.9:
            shape[-1] = channels
        if dtype not in accepted or rank != ndim or (channels and shape[-1] != channels):
            self.faults.add(TypeError)
        if rank in (2, 3) and rng.random() < 0.03:
            return self.huge(dtype, shape)
        return self.laid_out(self.samples(dtype, shape))

    def huge(self, dtype, shape):
        """A broadcast view whose first two dimensions multiply to 2**48 up to 2**56,
        less where NumPy could not describe it (2**62 bytes or more)."""
        shape[:2] = [2 ** int(self.rng.integers(24, 29)) for _ in range(2)]
        while math.prod(shape) * dtype.itemsize >= 2 ** 62:
            shape[0] //= 2
        self.enormous = True
        return np.broadcast_to(np.zeros([1] * len(shape), dtype), shape)

    def samples(self, dtype, shape):
        n = math.prod(shape)
        if dtype.kind in "SUVOMm":
            return np.zeros(shape, dtype)
        if dtype.kind in "biu":
            return self.rng.integers(0, 65536, n).astype(dtype).reshape(shape)
        with np.errstate(all="ignore"):
            values = self.rng.integers(0, 65536, n) * self.rng.choice([1, 1 / 257, np.nan, np.inf, -np.inf, 1e300], n)
            return values.astype(dtype).reshape(shape)

    def laid_out(self, a):
        """a, or an equal array in another layout."""
        layout = self.rng.integers(7) if a.ndim else 0
        if layout == 1:
            return np.asfortranarray(a)
        if layout == 2:  # negative strides on every axis
            return np.flip(np.flip(a).copy())
        if layout == 3:  # every other element of a wider last axis
            wide = np.zeros(a.shape[:-1] + (2 * a.shape[-1],), a.dtype)
            wide[..., ::2] = a
            return wide[..., ::2]
        if layout == 4 and a.dtype.itemsize > 1 and a.dtype.kind != "O":  # unaligned
            b = np.zeros(a.nbytes + 1, np.uint8)[1:].view(a.dtype).reshape(a.shape)
            b[...] = a
            return b
        if layout == 5:
            b = a.copy()
            b.flags.writeable = False
            return b
        if layout == 6 and a.shape[0]:  # zero strides
            return np.broadcast_to(a[:1], a.shape)
        return a

    def number(self, *usual):
        value = self.pick(*usual, 0.0, -1.5, 1e-300, 1e300, math.nan, math.inf, -math.inf, 3)
        return self.sometimes_wrong(value, 0.03, ("1.0", TypeError), (None, TypeError))

    def filter(self):
        return self.sometimes_wrong(self.pick("bilinear", "lanczos3"), 0.03, ("Lanczos3", ValueError),
                                    ("nearest", ValueError), (None, TypeError), (b"bilinear", TypeError))

    def maps(self, rows, cols):
        """map_x and map_y: float32 positions around a small source, NaN and infinities among them."""
        rng = self.rng
        if rng.random() < 0.03:
            both = self.huge(F32, [rows, cols])
            return both, both
        values = rng.uniform(-2, 7, (2, rows, cols)).astype(np.float32)
        flat = values.reshape(-1)
        if flat.size:
            flat[rng.integers(0, flat.size, 3)] = rng.choice([np.nan, np.inf, -np.inf, -0.5, 1e30], 3)
        map_x, map_y = self.laid_out(values[0]), self.laid_out(values[1])
        if rng.random() < 0.03:
            map_x = map_x.T
        with np.errstate(over="ignore"):
            map_y = self.sometimes_wrong(map_y, 0.04, (map_y.astype(F64), TypeError), (map_y.astype("f2"), TypeError),
                                         (map_y.reshape(-1), TypeError), (map_y.tolist(), TypeError))
        return map_x, map_y


def remap_case(case, function):
    rgb = function is trelvane.remap_rgb
    src = case.image([U8, U16], 3 if rgb else 2, 3 if rgb else None)
    map_x, map_y = case.maps(int(case.rng.integers(0, 6)), int(case.rng.integers(0, 6)))
    if getattr(map_x, "shape", None) != getattr(map_y, "shape", None):
        case.faults.add(ValueError)
    return [src, map_x, map_y, case.filter()], map_x.shape + ((3,) if rgb else ())


def warp_case(case):
    rng = case.rng
    src = case.image([U8, U16], 3, 3)
    inverse = list(rng.normal(0, 1, 9))
    inverse[rng.integers(9)] = case.pick(0.0, math.nan, math.inf, 1.0)
    inverse = case.sometimes_wrong(case.pick(inverse, np.array(inverse)), 0.04, (inverse[:8], ValueError),
                                   (5, TypeError), (inverse[:8] + ["x"], TypeError))
    out_size = case.pick(None, (int(rng.integers(0, 6)), int(rng.integers(0, 6))), p=[0.3, 0.7])
    if rng.random() < 0.05:  # a power of two beside zero, or two sides of 2**47 pixels or more
        big = 2 ** int(rng.integers(23, 64))
        out_size = case.pick((big, 0), (0, big), (big, 2 ** 47 // big + 1))
    out_size = case.sometimes_wrong(out_size, 0.03, ([3, 3], TypeError), ((3, 3, 3), ValueError),
                                    ((-1, 3), OverflowError), ((2 ** 64, 1), OverflowError), ((3.0, 3), TypeError))
    args = [src, inverse, case.number(1.0, 0.5, 2.0), case.number(0.0, 1.5), case.number(0.0, -2.0),
            case.filter(), out_size]
    if not (isinstance(out_size, tuple) and len(out_size) == 2):  # the source's size, or a fault
        out_size = src.shape[1::-1] if src.ndim >= 2 else (0, 0)
    width, height = out_size
    return args, (height, width, 3)


def detect_case(case):
    gray = case.image([U8, U16, F32, F64], 2)
    scale = case.number(0.8, 1.0, 0.3, 2.0)
    if scale == 0:
        case.faults.add(ValueError)
    return [gray, scale], None


def memory_error_expected(shape, itemsize, enormous):
    """NumPy cannot represent the result, or no buffer could hold it or a copy of an input."""
    nbytes = itemsize * math.prod(d for d in shape if d)
    return nbytes > MAX_INTP or enormous or (0 not in shape and nbytes >= UNALLOCATABLE)


def contiguous(arg):
    return np.array(arg, order="C", copy=True) if isinstance(arg, np.ndarray) else arg


def segments(result):
    assert type(result) is list and all(type(s) is trelvane.Segment for s in result)
    return [tuple(map(float.hex, (s.x1, s.y1, s.x2, s.y2, s.width, s.precision, s.log_nfa))) for s in result]


def run_case(rng):
    case = Case(rng)
    function = case.pick(trelvane.detect, trelvane.remap_gray, trelvane.remap_rgb, trelvane.warp_rgb)
    if function is trelvane.detect:
        args, shape = detect_case(case)
    elif function is trelvane.warp_rgb:
        args, shape = warp_case(case)
    else:
        args, shape = remap_case(case, function)
    src = args[0]
    errors, panics, must_fail = case.faults, set(), bool(case.faults)
    if not errors and function is trelvane.detect and case.enormous:
        errors = {ValueError, MemoryError}  # 2**32 working pixels or more, else the copy
    elif not errors and shape and memory_error_expected(shape, src.dtype.itemsize, case.enormous):
        errors = {MemoryError}
    elif not errors and shape:
        if shape[1] == 0:
            panics.add("chunk_size must not be zero")
        if 0 in src.shape[:2]:
            panics.add("min > max. min = 0, max = -1")  # a position on an empty source's edge
    must_fail = bool(errors) or (shape is not None and shape[1] == 0)
    try:
        result = function(*args)
    except BaseException as error:  # PanicException derives from BaseException
        if type(error).__name__ == "PanicException":
            assert str(error) in panics, (function.__name__, repr(error))
        else:
            assert isinstance(error, tuple(errors)), (function.__name__, repr(error), errors)
        return
    assert not must_fail, (function.__name__, "returned", errors, panics)
    again = function(*map(contiguous, args))
    if function is trelvane.detect:
        assert segments(result) == segments(again)
        return
    assert type(result) is np.ndarray and result.shape == shape and result.dtype == src.dtype
    assert result.flags.c_contiguous and result.flags.writeable
    np.testing.assert_array_equal(result, again)


def test_random_calls():
    deadline = time.monotonic() + BUDGET
    index = 0
    while index == 0 or time.monotonic() < deadline:
        try:
            run_case(np.random.default_rng([SEED, index]))
        except AssertionError as failure:
            pytest.fail(f"TRELVANE_FUZZ_SEED={SEED}, case {index}: {failure}")
        index += 1
    print(f"{index} random calls")
