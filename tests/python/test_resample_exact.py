"""Bit-exact checks of remap_gray, remap_rgb and warp_rgb against a NumPy reference.

The reference evaluates every float64 operation in the same order and grouping
as the module, so results must agree to the last bit, not within a tolerance.
"""

import functools
import math

import numpy as np
import pytest

import trelvane
from detect_cases import strokes
from sample_photos import sample

FILTERS = ["bilinear", "lanczos3"]
DTYPES = [np.uint8, np.uint16]
PI = 3.141592653589793
SEED = 20240611


# ---------------------------------------------------------------- reference


def _lanczos3(d):
    if d == 0:
        return 1.0
    if abs(d) >= 3:
        return 0.0
    p = PI * d
    q = p / 3
    # math.sin is the C library's sin; np.sin may differ in the last bit.
    return (math.sin(p) / p) * (math.sin(q) / q)


@functools.cache
def lanczos_table():
    table = np.empty((1025, 6))
    for k in range(1025):
        t = k * 0.0009765625
        r = [_lanczos3(t + 2 - i) for i in range(6)]
        s = 0.0
        for v in r:
            s = s + v
        table[k] = [v / s for v in r]
    return table


def _as_index(f):
    """Float to int64; NaN gives 0 (values are already floored and in range)."""
    return np.where(np.isnan(f), 0.0, f).astype(np.int64)


def _round_half_up(v):
    """C round() for v >= 0, without the inexact v + 0.5."""
    r = np.floor(v)
    return r + (v - r >= 0.5)


def _to_samples(v, dtype):
    top = float(np.iinfo(dtype).max)
    v = v + 0.5
    v = np.where(0 > v, 0.0, v)
    v = np.where(top < v, top, v)
    return np.where(np.isnan(v), 0.0, np.trunc(v)).astype(dtype)


@np.errstate(invalid="ignore")
def ref_sample(src, X, Y, filt):
    """Samples src (h, w) or (h, w, 3) at float64 positions X, Y."""
    img = src.reshape(src.shape[0], src.shape[1], -1).astype(np.float64)
    h, w, channels = img.shape
    inside = ~((X < -0.5) | (X > w - 0.5) | (Y < -0.5) | (Y > h - 0.5))
    X = np.where(inside, X, 0.0)
    Y = np.where(inside, Y, 0.0)
    fx, fy = np.floor(X), np.floor(Y)
    bx, by = _as_index(fx), _as_index(fy)
    if filt == "bilinear":
        tx, ty = (X - fx)[..., None], (Y - fy)[..., None]
        x0, x1 = np.clip(bx, 0, w - 1), np.clip(bx + 1, 0, w - 1)
        y0, y1 = np.clip(by, 0, h - 1), np.clip(by + 1, 0, h - 1)
        w00, w01 = (1 - tx) * (1 - ty), tx * (1 - ty)
        w10, w11 = (1 - tx) * ty, tx * ty
        v = ((img[y0, x0] * w00 + img[y0, x1] * w01) + img[y1, x0] * w10) + img[y1, x1] * w11
    else:
        table = lanczos_table()
        wx = table[_as_index(_round_half_up((X - fx) * 1024))]
        wy = table[_as_index(_round_half_up((Y - fy) * 1024))]
        cols = np.clip(bx[..., None] + np.arange(-2, 4), 0, w - 1)
        rows = np.clip(by[..., None] + np.arange(-2, 4), 0, h - 1)
        v = np.zeros(X.shape + (channels,))
        for j in range(6):
            for i in range(6):
                v = v + img[rows[..., j], cols[..., i]] * (wx[..., i] * wy[..., j])[..., None]
    out = _to_samples(v, src.dtype)
    out[~inside] = 0
    return out.reshape(X.shape + src.shape[2:])


def ref_remap(src, map_x, map_y, filt):
    return ref_sample(src, map_x.astype(np.float64), map_y.astype(np.float64), filt)


@np.errstate(divide="ignore", invalid="ignore")
def ref_warp(src, H, scale, off_x, off_y, filt, out_size=None):
    h, w = src.shape[:2]
    ow, oh = out_size if out_size is not None else (w, h)
    H = [float(e) for e in H]
    v = np.arange(oh, dtype=np.float64)[:, None] / scale + off_y
    u = np.arange(ow, dtype=np.float64)[None, :] / scale + off_x
    A = H[1] * v + H[2]
    B = H[4] * v + H[5]
    C = v * H[7] + H[8]
    W = H[6] * u + C
    X = (u * H[0] + A) / W
    Y = (H[3] * u + B) / W
    X = np.where(W == 0, np.inf, X)  # the point at infinity: never sampled
    return ref_sample(src, X, Y, filt)


# ---------------------------------------------------------------- inputs

CROPS = {  # 128 x 160 regions with detail and highlights (bundled: sample_photos.py)
    "astronaut": (slice(20, 148), slice(150, 310)),
    "coffee": (slice(100, 228), slice(200, 360)),
    "chelsea": (slice(60, 188), slice(120, 280)),
    "camera": (slice(40, 168), slice(200, 360)),
}


def strokes_rgb():
    """Synthetic colour detail that needs no scikit-image: three stroke scenes."""
    return np.stack([np.clip(strokes(128, 160, 14, seed), 0, 255).astype(np.uint8) for seed in (3, 4, 5)], -1)


@functools.cache
def photo(name, dtype):
    if name == "strokes":
        img = strokes_rgb()
    else:
        img = np.ascontiguousarray(sample(name)[CROPS[name]])
    if dtype == np.uint8:
        return img
    rng = np.random.default_rng(SEED)
    noise = rng.integers(-300, 301, img.shape)
    return np.clip(img.astype(np.int64) * 257 + noise, 0, 65535).astype(np.uint16)


def remap(src, map_x, map_y, filt):
    fn = trelvane.remap_gray if src.ndim == 2 else trelvane.remap_rgb
    return fn(src, map_x, map_y, filter=filt)


def smooth_maps(rng, out_shape, src_shape, margin=6.0, amp=5.0, holes=0.01):
    """An identity grid stretched past the source edges plus a low-frequency
    displacement, with NaN and infinite entries sprinkled in."""
    (oh, ow), (h, w) = out_shape, src_shape
    yy, xx = np.mgrid[0:oh, 0:ow].astype(np.float64)
    maps = [(xx + 0.5) * (w + 2 * margin) / ow - 0.5 - margin,
            (yy + 0.5) * (h + 2 * margin) / oh - 0.5 - margin]
    for m in maps:
        for _ in range(3):
            fu, fv = rng.uniform(0.3, 2.5, 2) * 2 * np.pi
            m += amp * rng.uniform(0.2, 1) * np.sin(fu * xx / ow + fv * yy / oh + rng.uniform(0, 7))
    maps = [m.astype(np.float32) for m in maps]
    for m in maps:
        m[rng.random(m.shape) < holes] = np.nan
        m[rng.random(m.shape) < holes / 4] = np.inf
        m[rng.random(m.shape) < holes / 4] = -np.inf
    return maps


def assert_same(actual, expected):
    assert actual.dtype == expected.dtype and actual.shape == expected.shape
    if not np.array_equal(actual, expected):
        bad = np.argwhere(actual != expected)
        idx = tuple(bad[0])
        pytest.fail(f"{len(bad)} samples differ; first at {idx}: "
                    f"got {actual[idx]}, expected {expected[idx]}")


# ---------------------------------------------------------------- remap


@pytest.mark.parametrize("filt", FILTERS)
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("name", ["astronaut", "coffee", "chelsea", "camera", "strokes"])
def test_remap_photo_with_smooth_maps(name, dtype, filt):
    src = photo(name, dtype)
    rng = np.random.default_rng([SEED, len(name), np.dtype(dtype).itemsize])
    map_x, map_y = smooth_maps(rng, (100, 140), src.shape[:2])
    out = remap(src, map_x, map_y, filt)
    expected = ref_remap(src, map_x, map_y, filt)
    assert_same(out, expected)
    assert np.count_nonzero(expected) > expected.size // 2  # mostly inside


@pytest.mark.parametrize("filt", FILTERS)
@pytest.mark.parametrize("channels", [1, 3])
@pytest.mark.parametrize("shape", [(1, 1), (1, 7), (5, 1), (3, 4), (6, 6), (9, 13)])
def test_remap_tiny_images_clamp_taps(shape, channels, filt):
    rng = np.random.default_rng([SEED, *shape, channels])
    full = shape if channels == 1 else shape + (3,)
    src = rng.integers(0, 65536, full).astype(np.uint16)
    map_x, map_y = smooth_maps(rng, (24, 30), shape, margin=1.5, amp=2.0)
    assert_same(remap(src, map_x, map_y, filt), ref_remap(src, map_x, map_y, filt))


@pytest.mark.parametrize("filt", FILTERS)
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("channels", [1, 3])
def test_identity_map_reproduces_source(channels, dtype, filt):
    src = photo("camera" if channels == 1 else "coffee", dtype)
    h, w = src.shape[:2]
    map_y, map_x = np.mgrid[0:h, 0:w].astype(np.float32)
    out = remap(src, map_x, map_y, filt)
    assert_same(out, src)
    assert_same(ref_remap(src, map_x, map_y, filt), src)


@pytest.mark.parametrize("filt", FILTERS)
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("channels", [1, 3])
def test_domain_borders(channels, dtype, filt):
    src = photo("camera" if channels == 1 else "chelsea", dtype)
    src = np.maximum(src, 1)  # a rejected position is the only way to get 0
    h, w = src.shape[:2]
    f32 = np.float32

    def around(edge, inward):
        beyond = np.nextafter(f32(edge), f32(edge - inward))
        inner = np.nextafter(f32(edge), f32(edge + inward))
        return [f32(edge), inner, beyond]

    xs = np.array(around(-0.5, 1) + around(w - 0.5, -1) + [0, 2.75, w - 1, np.inf, -np.inf, np.nan], f32)
    ys = np.array(around(-0.5, 1) + around(h - 0.5, -1) + [0, 1.5, h - 1, np.inf, -np.inf, np.nan], f32)
    map_x, map_y = np.meshgrid(xs, ys)
    out = remap(src, map_x, map_y, filt)
    assert_same(out, ref_remap(src, map_x, map_y, filt))

    rejected = np.isinf(map_x) | np.isinf(map_y)
    rejected |= np.isin(map_x, [xs[2], xs[5]]) | np.isin(map_y, [ys[2], ys[5]])
    kept = ~rejected & ~np.isnan(map_x) & ~np.isnan(map_y)
    per_pixel = out.reshape(out.shape[:2] + (-1,))
    assert not per_pixel[rejected].any()
    assert per_pixel[kept].all()


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("channels", [1, 3])
def test_nan_coordinates(channels, dtype):
    src = np.maximum(photo("camera" if channels == 1 else "astronaut", dtype), 1)
    nan = np.float32(np.nan)
    map_x = np.array([[nan, 0, 7.25, nan, nan, 0]], np.float32)
    map_y = np.array([[9.75, 9.75, nan, 0, nan, 0]], np.float32)
    has_nan = np.isnan(map_x) | np.isnan(map_y)
    bilinear = remap(src, map_x, map_y, "bilinear")
    assert not bilinear[has_nan].any()
    assert bilinear[~has_nan].all()
    lanczos = remap(src, map_x, map_y, "lanczos3")
    at_zero = remap(src, np.nan_to_num(map_x, nan=0.0), np.nan_to_num(map_y, nan=0.0), "lanczos3")
    assert_same(lanczos, at_zero)
    assert lanczos.all()
    assert_same(lanczos, ref_remap(src, map_x, map_y, "lanczos3"))


@pytest.mark.parametrize("dtype", DTYPES)
def test_lanczos_phase_rounding(dtype):
    src = photo("coffee", dtype)
    base = np.float32(37)
    # Fractions whose phase rounds to 1024, and exact halves that C's round
    # takes away from zero where NumPy's would go to even.
    fracs = [4095 / 4096, 8191 / 8192, 16383 / 16384, 0.5 / 1024, 2.5 / 1024,
             512.5 / 1024, 1022.5 / 1024, 0.25, 0.0]
    pos = np.array([base + np.float32(f) for f in fracs] + [-1e-30, -2.0**-40], np.float32)
    map_x, map_y = np.meshgrid(pos, pos)
    out = remap(src, map_x, map_y, "lanczos3")
    assert_same(out, ref_remap(src, map_x, map_y, "lanczos3"))


@pytest.mark.parametrize("dtype", DTYPES)
def test_lanczos_overshoot_saturates(dtype):
    top = np.iinfo(dtype).max
    src = np.zeros((16, 16, 3), dtype)
    src[:, 8:] = top
    src[::3, :, 1] = top  # a second, horizontal ringing pattern
    xs = np.linspace(-0.5, 15.5, 67, dtype=np.float32)
    map_x, map_y = np.meshgrid(xs, xs[::-1])
    out = trelvane.remap_rgb(src, map_x, map_y, filter="lanczos3")
    assert_same(out, ref_remap(src, map_x, map_y, "lanczos3"))
    assert (out == 0).any() and (out == top).any()


@pytest.mark.parametrize("filt", FILTERS)
@pytest.mark.parametrize("layout", ["flipped", "fortran", "strided"])
@pytest.mark.parametrize("channels", [1, 3])
def test_remap_noncontiguous_inputs(channels, layout, filt):
    src = photo("camera" if channels == 1 else "astronaut", np.uint16)
    rng = np.random.default_rng([SEED, channels])
    map_x, map_y = smooth_maps(rng, (64, 96), src.shape[:2])
    views = {
        "flipped": lambda a: a[:, ::-1],
        "fortran": np.asfortranarray,
        "strided": lambda a: np.repeat(a, 2, axis=1)[:, ::2],
    }[layout]
    out = remap(views(src), views(map_x), views(map_y), filt)
    expected = remap(np.ascontiguousarray(views(src)), np.ascontiguousarray(views(map_x)),
                     np.ascontiguousarray(views(map_y)), filt)
    assert_same(out, expected)
    assert_same(out, ref_remap(views(src), views(map_x), views(map_y), filt))


# ---------------------------------------------------------------- warp

HOMOGRAPHIES = {
    "identity": (1, 0, 0, 0, 1, 0, 0, 0, 1),
    "scale2": (0.5, 0, 0, 0, 0.5, 0, 0, 0, 1),
    "translate": (1, 0, 13.3, 0, 1, -7.9, 0, 0, 1),
    "perspective": (0.93, 0.08, 5.5, -0.05, 1.04, 3.25, 0.0009, -0.0011, 1.02),
    "rotate": (math.cos(0.3), -math.sin(0.3), 40, math.sin(0.3), math.cos(0.3), -20, 0, 0, 1),
    "zero_last_row": (1, 0, 0, 0, 1, 0, 0, 0, 0),
    "negative_w": (1, 0, 0, 0, 1, 0, 0, 0, -1),
    # W = u/64 - 0.625 is exactly 0 in column 40 (with scale 1, no offset),
    # where X is 0/0 = NaN: that pixel must not be sampled.
    "pole": (1, 0, -40, 0, 1, 0, 0.015625, 0, -0.625),
}
VIEWS = {  # scale, off_x, off_y, out_size
    "plain": (1.0, 0.0, 0.0, None),
    "zoomed": (2.0, 10.25, -3.5, (200, 150)),
    "shrunk": (0.75, -7.0, 4.125, (90, 110)),
}


@pytest.mark.parametrize("filt", FILTERS)
@pytest.mark.parametrize("view", VIEWS)
@pytest.mark.parametrize("hname", HOMOGRAPHIES)
@pytest.mark.parametrize("name, dtype", [("astronaut", np.uint8), ("coffee", np.uint16), ("strokes", np.uint16)])
def test_warp_homographies(name, dtype, hname, view, filt):
    src = photo(name, dtype)
    H = HOMOGRAPHIES[hname]
    scale, off_x, off_y, out_size = VIEWS[view]
    out = trelvane.warp_rgb(src, H, scale, off_x, off_y, filter=filt, out_size=out_size)
    expected = ref_warp(src, H, scale, off_x, off_y, filt, out_size)
    assert_same(out, expected)
    if hname == "zero_last_row":
        assert not out.any()
    if hname == "pole" and view == "plain":
        assert not out[:, 40].any()
        assert out[:, 39].any() or out[:, 41].any()
    if hname == "identity" and view == "plain":
        assert_same(out, src)


@pytest.mark.parametrize("filt", FILTERS)
@pytest.mark.parametrize("dtype", DTYPES)
def test_warp_translation_matches_remap(dtype, filt):
    src = photo("chelsea", dtype)
    h, w = src.shape[:2]
    map_y, map_x = np.mgrid[0:h, 0:w].astype(np.float32)
    warped = trelvane.warp_rgb(src, (1, 0, 0.25, 0, 1, -0.75, 0, 0, 1), 1.0, 0.0, 0.0, filter=filt)
    remapped = trelvane.remap_rgb(src, map_x + np.float32(0.25), map_y - np.float32(0.75), filter=filt)
    assert_same(warped, remapped)
    assert_same(warped, ref_warp(src, (1, 0, 0.25, 0, 1, -0.75, 0, 0, 1), 1.0, 0.0, 0.0, filt))


@pytest.mark.parametrize("filt", FILTERS)
@pytest.mark.parametrize("axis", ["x", "y"])
def test_warp_float64_domain_edges(axis, filt):
    """Offsets place the first output column (or row) exactly on a domain edge
    or one float64 ulp beyond it, which float32 maps cannot express."""
    src = np.maximum(photo("astronaut", np.uint16), 1)
    h, w = src.shape[:2]
    edge = w - 0.5 if axis == "x" else h - 0.5
    cases = {-0.5: True, np.nextafter(-0.5, -1): False, edge: True, np.nextafter(edge, edge + 1): False}
    for off, inside in cases.items():
        off_x, off_y, size = (off, 0.0, (1, h)) if axis == "x" else (0.0, off, (w, 1))
        out = trelvane.warp_rgb(src, HOMOGRAPHIES["identity"], 1.0, off_x, off_y,
                                filter=filt, out_size=size)
        assert_same(out, ref_warp(src, HOMOGRAPHIES["identity"], 1.0, off_x, off_y, filt, size))
        assert out.all() if inside else not out.any(), (off, inside)


@pytest.mark.parametrize("filt", FILTERS)
@pytest.mark.parametrize("layout", ["flipped", "fortran"])
def test_warp_noncontiguous_source(layout, filt):
    src = photo("coffee", np.uint8)
    view = src[:, ::-1] if layout == "flipped" else np.asfortranarray(src)
    H = HOMOGRAPHIES["perspective"]
    out = trelvane.warp_rgb(view, H, 1.5, 2.0, -1.0, filter=filt, out_size=(150, 120))
    expected = trelvane.warp_rgb(np.ascontiguousarray(view), H, 1.5, 2.0, -1.0,
                                 filter=filt, out_size=(150, 120))
    assert_same(out, expected)
    assert_same(out, ref_warp(view, H, 1.5, 2.0, -1.0, filt, (150, 120)))


@pytest.mark.parametrize("filt", FILTERS)
@pytest.mark.parametrize("factor", [3.0, 49.0, -49.0])
def test_warp_projective_scaling_is_exact(factor, filt):
    """H and factor*H are the same mapping: X = (factor*u)/factor is exactly u
    here, on a Lanczos phase tie. Multiplying by 1/W instead of dividing lands
    an ulp below the tie for factor 49 and flips the phase."""
    src = photo("astronaut", np.uint16)
    H = HOMOGRAPHIES["identity"]
    off_x, off_y = 0.5 / 1024, 2.5 / 1024
    base = trelvane.warp_rgb(src, H, 1.0, off_x, off_y, filter=filt)
    scaled = trelvane.warp_rgb(src, [factor * e for e in H], 1.0, off_x, off_y, filter=filt)
    assert_same(scaled, base)
    assert_same(scaled, ref_warp(src, [factor * e for e in H], 1.0, off_x, off_y, filt))


@pytest.mark.parametrize("off", [np.nextafter(0.5, 0) / 1024, 0.5 / 1024, np.nextafter(1.0, 0),
                                 -(2.0**-60), 1023.5 / 1024, np.nextafter(1023.5 / 1024, 0)])
def test_warp_lanczos_float64_phases(off):
    """Phases near rounding ties that float32 maps cannot reach: the first
    output column and row sit at x = off and y = off."""
    src = photo("coffee", np.uint16)
    out = trelvane.warp_rgb(src, HOMOGRAPHIES["identity"], 1.0, off, off, filter="lanczos3")
    assert_same(out, ref_warp(src, HOMOGRAPHIES["identity"], 1.0, off, off, "lanczos3"))
