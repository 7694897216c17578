"""detect(gray, scale=...) and the Segment objects it returns."""
import functools
import gc
import math
import weakref
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import trelvane
from conftest import raised, run_python
from detect_cases import strokes

FIELDS = ("x1", "y1", "x2", "y2", "width", "precision", "log_nfa")
WRONG_INPUT = "detect expects a (height, width) array of uint8, uint16, float32 or float64"
SCENE = strokes(200, 240, 16, 1)


def records(segments):
    return [tuple(getattr(s, f) for f in FIELDS) for s in segments]


def rectangle_scene():
    """A bright 100 x 80 rectangle with corners (50, 40) and (150, 120)."""
    image = np.zeros((160, 200))
    image[40:120, 50:150] = 200.0
    return image


PHOTOS = ["astronaut", "brick", "camera", "cat", "cell", "checkerboard", "chelsea", "clock",
          "coffee", "coins", "colorwheel", "grass", "gravel", "horse", "hubble_deep_field",
          "immunohistochemistry", "logo", "microaneurysms", "moon", "page", "retina", "rocket",
          "shepp_logan_phantom", "text"]


@functools.cache
def photo(name):
    """The photo as uint8 luminance, cropped to at most 480 x 512 (not square,
    so that swapped dimensions show)."""
    color = pytest.importorskip("skimage.color")
    image = getattr(pytest.importorskip("skimage.data"), name)()
    if image.ndim == 3:
        rgb = color.rgba2rgb(image) if image.shape[2] == 4 else image
        image = color.rgb2gray(rgb) * 255
    elif image.dtype != np.uint8:
        image = image.astype(float) * (255 / image.max())
    return np.round(image[:480, :512]).astype(np.uint8)


def as_dtype(u8, dtype):
    """The same values in every dtype; uint16 holds v * 257, which detect reads as v."""
    return u8.astype(np.uint16) * 257 if dtype == np.uint16 else u8.astype(dtype)


# ---------------------------------------------------------------- arguments


def test_signature_and_doc():
    assert trelvane.detect.__text_signature__ == "(gray, scale=...)"
    assert trelvane.detect.__doc__ == "Find the validated line segments of a grayscale image."


@pytest.mark.parametrize("call, message", [
    (lambda: trelvane.detect(), "detect() missing 1 required positional argument: 'gray'"),
    (lambda: trelvane.detect(scale=1.0), "detect() missing 1 required positional argument: 'gray'"),
    (lambda: trelvane.detect(SCENE, 1.0, 2), "detect() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: trelvane.detect(SCENE, image=SCENE), "detect() got an unexpected keyword argument 'image'"),
    (lambda: trelvane.detect(SCENE, 1.0, scale=1.0), "detect() got multiple values for argument 'scale'"),
])
def test_binding_errors(call, message):
    error = raised(call)
    assert type(error) is TypeError and str(error) == message


@pytest.mark.parametrize("call, same_as", [
    (lambda g: trelvane.detect(g), lambda g: trelvane.detect(g, 0.8)),
    (lambda g: trelvane.detect(g), lambda g: trelvane.detect(scale=0.8, gray=g)),
    (lambda g: trelvane.detect(g, 1), lambda g: trelvane.detect(g, scale=1.0)),
    (lambda g: trelvane.detect(g, math.nan), lambda g: trelvane.detect(g, 1.0)),
    (lambda g: trelvane.detect(g, -math.nan), lambda g: trelvane.detect(g, 1.0)),
])
def test_scale_forms(call, same_as):
    gray = SCENE
    assert records(trelvane.detect(gray)) != records(trelvane.detect(gray, 1.0))
    assert records(call(gray)) == records(same_as(gray)) != []


@pytest.mark.parametrize("scale, kind, message, notes", [
    ("0.5", TypeError, None, ["while processing 'scale'"]),
    (None, TypeError, None, ["while processing 'scale'"]),
    (0, ValueError, "scale must not be zero", None),
    (0.0, ValueError, "scale must not be zero", None),
    (-0.0, ValueError, "scale must not be zero", None),
])
def test_bad_scale_is_reported_before_gray(scale, kind, message, notes):
    error = raised(lambda: trelvane.detect([[1]], scale))
    assert type(error) is kind
    assert message is None or str(error) == message
    assert getattr(error, "__notes__", None) == notes


@pytest.mark.parametrize("gray, found", [
    (np.zeros(100), "float64 of shape (100,)"), (np.zeros((8, 8, 1)), "float64 of shape (8, 8, 1)"),
    (np.zeros((8, 8), bool), "bool of shape (8, 8)"), (np.zeros((8, 8), np.int32), "int32 of shape (8, 8)"),
    (np.zeros((8, 8), np.float16), "float16 of shape (8, 8)"), (np.zeros((8, 8), complex), "complex128 of shape (8, 8)"),
    (np.zeros((8, 8), ">f8"), ">f8 of shape (8, 8)"), (np.zeros((8, 8), np.uint8).tolist(), "list"), (None, "None"),
])
def test_wrong_input_type(gray, found):
    error = raised(lambda: trelvane.detect(gray, 1.0))
    assert type(error) is TypeError and str(error) == WRONG_INPUT
    assert error.__notes__ == [f"gray: expected a 2-D uint8, uint16, float32 or float64 array, got {found}"]


@pytest.mark.parametrize("dtype", [np.uint8, np.float64])
@pytest.mark.parametrize("shape, scale", [((2, 100), 1.0), ((100, 2), 1.0), ((0, 0), 1.0), ((5, 0), 0.8),
                                          ((3, 3), 0.8), ((50, 50), -1.0)])
def test_too_small_gives_no_segments(shape, scale, dtype):
    gray = np.random.default_rng(0).integers(0, 255, shape).astype(dtype)
    assert trelvane.detect(gray, scale) == []


@pytest.mark.parametrize("scale", [1.0, 2.0, math.nan])
@pytest.mark.parametrize("shape", [(65536, 65536), (3, 2 ** 32), (2 ** 33, 3)])
def test_working_image_of_2_to_the_32_pixels_is_refused(shape, scale):
    # Zero strides: no memory behind it, and the refusal must come before the
    # row-major copy of such a layout.
    gray = np.broadcast_to(np.zeros(1, np.uint8), shape)
    error = raised(lambda: trelvane.detect(gray, scale))
    assert type(error) is ValueError
    assert str(error) == "detect supports working images of fewer than 2**32 pixels"


# ---------------------------------------------------------------- layouts and dtypes


def misaligned(a):
    raw = np.empty(a.nbytes + 1, np.uint8)
    out = raw[1:].view(a.dtype).reshape(a.shape)
    out[...] = a
    assert not out.flags.aligned
    return out


@pytest.mark.parametrize("view", [
    np.asfortranarray,
    lambda a: np.ascontiguousarray(a[::-1, ::-1])[::-1, ::-1],
    lambda a: a[::2, 1::3],
    misaligned,
])
@pytest.mark.parametrize("scale", [1.0, 0.8])
def test_layouts_read_in_logical_order(view, scale):
    gray = view(SCENE)
    assert not gray.flags.c_contiguous or not gray.flags.aligned
    expected = records(trelvane.detect(np.ascontiguousarray(gray), scale))
    assert records(trelvane.detect(gray, scale)) == expected != []


@pytest.mark.parametrize("scale", [1.0, 0.8, 0.5])
@pytest.mark.parametrize("name", PHOTOS)
def test_photos_in_every_dtype(name, scale):
    u8 = photo(name)
    height, width = u8.shape
    results = [trelvane.detect(as_dtype(u8, dtype), scale)
               for dtype in (np.uint8, np.uint16, np.float32, np.float64)]
    # Equal values give equal records whatever the dtype.
    assert all(records(r) == records(results[0]) for r in results[1:])
    segments = results[0]
    lengths = [s.length for s in segments]
    assert lengths == sorted(lengths, reverse=True)
    margin = 4 / scale  # ends may overshoot the pixels a little
    for s in segments:
        assert s.log_nfa > 0 and s.width > 0
        assert -margin <= min(s.x1, s.x2) and max(s.x1, s.x2) <= width + margin
        assert -margin <= min(s.y1, s.y2) and max(s.y1, s.y2) <= height + margin


@pytest.mark.parametrize("scale, tolerance", [(1.0, 1.5), (0.8, 2.5)])
def test_rectangle_sides(scale, tolerance):
    segments = trelvane.detect(rectangle_scene(), scale)
    assert len(segments) == 4
    assert [s.length for s in segments] == sorted((s.length for s in segments), reverse=True)
    levels = {"x": [], "y": []}
    for s in segments:
        assert abs(s.angle) < 1 or abs(s.angle) > 89
        horizontal = abs(s.angle) < 1
        along, across = ("x", "y") if horizontal else ("y", "x")
        ends = sorted([getattr(s, along + "1"), getattr(s, along + "2")])
        assert ends == pytest.approx([50, 150] if horizontal else [40, 120], abs=tolerance)
        assert s.length == pytest.approx(100 if horizontal else 80, abs=2 * tolerance)
        assert 0.5 < s.width < 2 and s.log_nfa > 0 and s.precision == 0.125
        levels[across] += [getattr(s, across + "1"), getattr(s, across + "2")]
    assert sorted(levels["x"]) == pytest.approx([50, 50, 150, 150], abs=tolerance)
    assert sorted(levels["y"]) == pytest.approx([40, 40, 120, 120], abs=tolerance)


def test_diagonal_angles_have_the_image_frame_sign():
    y, x = np.mgrid[0:120, 0:120]
    falling = trelvane.detect((x > y) * 200.0, 1.0)[0]  # y grows with x
    rising = trelvane.detect((x + y > 120) * 200.0, 1.0)[0]
    assert falling.angle == pytest.approx(45, abs=0.5)
    assert rising.angle == pytest.approx(-45, abs=0.5)


# ---------------------------------------------------------------- threads


def test_concurrent_calls_match_sequential_calls():
    calls = [(as_dtype(photo(name), dtype), scale)
             for name in ("camera", "coins", "page", "brick")
             for dtype in (np.uint8, np.float32)
             for scale in (1.0, 0.6)] * 2
    sequential = [records(trelvane.detect(*call)) for call in calls]
    with ThreadPoolExecutor(max_workers=8) as pool:
        concurrent = list(pool.map(lambda call: records(trelvane.detect(*call)), calls))
    assert concurrent == sequential


def test_threads_racing_to_the_first_detection():
    out = run_python("""
        import threading, numpy as np
        barrier = threading.Barrier(8)
        results = [None] * 8
        image = np.zeros((160, 200)); image[40:120, 50:150] = 200.0
        def work(i):
            barrier.wait()
            import trelvane
            segments = trelvane.detect(image, 1.0)
            results[i] = [(type(s) is trelvane.Segment, repr(s)) for s in segments]
        threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
        assert len(results[0]) == 4 and all(r == results[0] for r in results), results
        assert all(ok for ok, _ in results[0])
        print("ok")
    """)
    assert out.strip() == "ok"


# ---------------------------------------------------------------- Segment


@functools.cache
def many_segments():
    return [s for name in PHOTOS for s in trelvane.detect(photo(name), 0.8)]


def expected_angle(s):
    a = math.atan2(s.y2 - s.y1, s.x2 - s.x1) * 57.29577951308232
    if a > 90:
        a = a + -180.0
    if a <= -90:
        a = a + 180.0
    return a


def expected_repr(s):
    def text(v):
        return "NaN" if math.isnan(v) else "%.1f" % v
    return "Segment(({}, {})-({}, {}), width={})".format(*map(text, (s.x1, s.y1, s.x2, s.y2, s.width)))


def test_computed_attributes_and_text_form():
    segments = many_segments()
    assert len(segments) > 1000
    for s in segments:
        assert all(type(getattr(s, f)) is float for f in FIELDS + ("angle", "length"))
        assert s.angle == expected_angle(s) and -90 < s.angle <= 90
        assert s.length == np.hypot(s.x2 - s.x1, s.y2 - s.y1)  # the C library's hypot
        assert repr(s) == str(s) == expected_repr(s)
    assert {s.precision for s in segments} <= {0.125 / 2 ** k for k in range(8)}
    # Both folding steps are taken.
    raw = [math.atan2(s.y2 - s.y1, s.x2 - s.x1) * 57.29577951308232 for s in segments]
    assert any(a > 90 for a in raw) and any(a <= -90 for a in raw)


def test_vertical_sides_have_angle_90_either_way():
    vertical = [s for s in trelvane.detect(rectangle_scene(), 1.0) if s.x1 == s.x2]
    assert sorted(s.y2 > s.y1 for s in vertical) == [False, True]  # atan2 gives -90 and 90
    assert [s.angle for s in vertical] == [90.0, 90.0]


@pytest.mark.parametrize("change", [
    lambda s: setattr(s, "x1", 1.0),
    lambda s: setattr(s, "angle", 1.0),
    lambda s: setattr(s, "log_nfa", 1.0),
    lambda s: setattr(s, "label", "a"),
    lambda s: delattr(s, "width"),
    lambda s: s.__dict__,
])
def test_segments_are_immutable(change):
    segment = trelvane.detect(rectangle_scene(), 1.0)[0]
    before = records([segment])
    assert type(raised(lambda: change(segment))) is AttributeError
    assert records([segment]) == before


def test_segment_class():
    Segment = trelvane.Segment
    segment = trelvane.detect(rectangle_scene(), 1.0)[0]
    assert type(segment) is Segment
    assert (Segment.__name__, Segment.__qualname__, Segment.__module__) == ("Segment", "Segment", "trelvane")
    assert Segment.__doc__ == "One detected line segment, in input-image coordinates."
    assert Segment.__bases__ == (object,)
    assert Segment.angle.__doc__ == "Direction in degrees, -90 to 90, 0 = horizontal."
    assert Segment.length.__doc__ == "Length in pixels."
    assert Segment.x1.__doc__ is None
    assert not gc.is_tracked(segment)
    assert not hasattr(segment, "__weakref__")
    assert type(raised(lambda: weakref.ref(segment))) is TypeError
    assert type(raised(lambda: Segment())) is TypeError
    assert type(raised(lambda: type("Sub", (Segment,), {}))) is TypeError
    assert type(raised(lambda: setattr(Segment, "x1", 0))) is TypeError
    assert segment == segment and segment != trelvane.detect(rectangle_scene(), 1.0)[0]
