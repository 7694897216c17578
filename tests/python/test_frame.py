"""The module object and the frame every function shares: binding, conversion
errors and their notes, internal failures, memory errors, result arrays."""
import gc
import os

import numpy as np
import pytest

import trelvane
from conftest import raised, run_python

GRAY = np.arange(20, dtype=np.uint8).reshape(4, 5)
RGB = np.arange(60, dtype=np.uint8).reshape(4, 5, 3)
MAP = np.zeros((4, 5), np.float32)
IDENTITY = [1.0, 0, 0, 0, 1, 0, 0, 0, 1]


def test_module_attributes_and_docs():
    assert trelvane.__all__ == ["Segment", "detect", "warp_rgb", "remap_rgb", "remap_gray"]
    assert trelvane.__doc__ == ""
    assert not hasattr(trelvane, "PanicException")
    assert trelvane.remap_gray.__text_signature__ == '(src, map_x, map_y, filter="bilinear")'
    assert trelvane.warp_rgb.__text_signature__ == (
        '(src, inverse, scale, off_x, off_y, filter="bilinear", out_size=None)')
    assert trelvane.remap_rgb.__doc__ == (
        "Resample an RGB image through a coordinate map: output pixel (x, y)\n"
        "takes its value from source position (map_x[y, x], map_y[y, x]).")
    assert trelvane.remap_gray.__doc__ == (
        "Resample a single-channel image (a mask) through a coordinate map.")
    for name in trelvane.__all__[1:]:  # every function, after the class
        function = getattr(trelvane, name)
        assert function.__self__ is trelvane and function.__module__ == "trelvane"


@pytest.mark.parametrize("call, message", [
    (lambda: trelvane.remap_gray(),
     "remap_gray() missing 3 required positional arguments: 'src', 'map_x', and 'map_y'"),
    (lambda: trelvane.remap_rgb(RGB, MAP),
     "remap_rgb() missing 1 required positional argument: 'map_y'"),
    (lambda: trelvane.warp_rgb(RGB, IDENTITY, 1.0),
     "warp_rgb() missing 2 required positional arguments: 'off_x' and 'off_y'"),
    (lambda: trelvane.remap_gray(GRAY, MAP, MAP, "bilinear", 5),
     "remap_gray() takes from 3 to 4 positional arguments but 5 were given"),
    (lambda: trelvane.warp_rgb(RGB, IDENTITY, 1, 0, 0, "bilinear", None, 8),
     "warp_rgb() takes from 5 to 7 positional arguments but 8 were given"),
    (lambda: trelvane.remap_gray(GRAY, MAP, MAP, interpolation="bilinear"),
     "remap_gray() got an unexpected keyword argument 'interpolation'"),
    (lambda: trelvane.remap_gray(GRAY, MAP, MAP, map_x=MAP),
     "remap_gray() got multiple values for argument 'map_x'"),
])
def test_binding_errors(call, message):
    error = raised(call)
    assert type(error) is TypeError and str(error) == message


def test_every_parameter_can_be_passed_by_keyword():
    by_position = trelvane.warp_rgb(RGB, IDENTITY, 1.0, 0.0, 0.0, "lanczos3", (3, 2))
    by_keyword = trelvane.warp_rgb(out_size=(3, 2), filter="lanczos3", off_y=0.0, off_x=0.0,
                                   scale=1.0, inverse=IDENTITY, src=RGB)
    np.testing.assert_array_equal(by_position, by_keyword)
    assert by_keyword.shape == (2, 3, 3)


@pytest.mark.parametrize("call, kind, message, name, found", [
    (lambda: trelvane.remap_gray(GRAY, None, MAP), TypeError, "'None' is not an instance of 'ndarray'", "map_x",
     "map_x: expected a 2-D float32 array, got None"),
    (lambda: trelvane.remap_gray(GRAY, MAP, [[0.0]]), TypeError, "'list' object is not an instance of 'ndarray'",
     "map_y", "map_y: expected a 2-D float32 array, got list"),
    (lambda: trelvane.remap_gray(GRAY, np.zeros((4, 4)), MAP), TypeError,
     "'ndarray' object is not an instance of 'ndarray'", "map_x",
     "map_x: expected a 2-D float32 array, got float64 of shape (4, 4)"),
    (lambda: trelvane.remap_gray(GRAY, MAP, MAP.astype(np.float64)), TypeError,
     "'ndarray' object is not an instance of 'ndarray'", "map_y",
     "map_y: expected a 2-D float32 array, got float64 of shape (4, 5)"),
    (lambda: trelvane.remap_gray(GRAY, MAP[None], MAP), TypeError,
     "'ndarray' object is not an instance of 'ndarray'", "map_x",
     "map_x: expected a 2-D float32 array, got float32 of shape (1, 4, 5)"),
    (lambda: trelvane.remap_gray(GRAY, MAP.astype(">f4"), MAP), TypeError,
     "'ndarray' object is not an instance of 'ndarray'", "map_x",
     "map_x: expected a 2-D float32 array, got >f4 of shape (4, 5)"),
    (lambda: trelvane.remap_rgb(RGB, MAP, MAP, filter=None), TypeError, "'None' is not an instance of 'str'",
     "filter", None),
    (lambda: trelvane.remap_rgb(RGB, MAP, MAP, b"bilinear"), TypeError, "'bytes' object is not an instance of 'str'",
     "filter", None),
    (lambda: trelvane.warp_rgb(RGB, {}, 1, 0, 0), TypeError, "'dict' object is not an instance of 'Sequence'",
     "inverse", None),
    (lambda: trelvane.warp_rgb(RGB, [[1, 0, 0], [0, 1, 0], [0, 0, 1]], 1, 0, 0), ValueError,
     "expected a sequence of length 9 (got 3)", "inverse", None),
    (lambda: trelvane.warp_rgb(RGB, np.eye(3), 1, 0, 0), ValueError,
     "expected a sequence of length 9 (got 3)", "inverse", None),
    (lambda: trelvane.warp_rgb(RGB, [1, 0, 0, 0, 1, 0, 0, 0, "1"], 1, 0, 0), TypeError, None, "inverse",
     None),
    (lambda: trelvane.warp_rgb(RGB, IDENTITY, "2", 0, 0), TypeError, None, "scale", None),
    (lambda: trelvane.warp_rgb(RGB, IDENTITY, 1, None, 0), TypeError, None, "off_x", None),
    (lambda: trelvane.warp_rgb(RGB, IDENTITY, 1, 0, 1j), TypeError, None, "off_y", None),
    (lambda: trelvane.warp_rgb(RGB, IDENTITY, 1, 0, 0, out_size=[4, 3]), TypeError,
     "'list' object is not an instance of 'tuple'", "out_size", None),
    (lambda: trelvane.warp_rgb(RGB, IDENTITY, 1, 0, 0, out_size=(4, 3, 1)), ValueError,
     "expected tuple of length 2, but got tuple of length 3", "out_size", None),
    (lambda: trelvane.warp_rgb(RGB, IDENTITY, 1, 0, 0, out_size=(4, -3)), OverflowError, None, "out_size", None),
    (lambda: trelvane.warp_rgb(RGB, IDENTITY, 1, 0, 0, out_size=(4.0, 3)), TypeError, None, "out_size", None),
    (lambda: trelvane.warp_rgb(RGB, IDENTITY, 1, 0, 0, out_size=(2 ** 64, 3)), OverflowError, None, "out_size",
     None),
])
def test_conversion_errors_carry_the_argument_note(call, kind, message, name, found):
    """The argument's note; an array that is not one the function takes gets a
    second note, on what was expected and what came."""
    error = raised(call)
    assert type(error) is kind
    if message is not None:
        assert str(error) == message
    assert error.__notes__ == [f"while processing '{name}'"] + ([found] if found else [])


def test_accepted_conversions():
    class Scale:
        def __float__(self):
            return 1.0

    class Name(str):
        pass

    expected = trelvane.warp_rgb(RGB, IDENTITY, 1.0, 0.0, 0.0)
    for inverse in (tuple(IDENTITY), np.array(IDENTITY), [np.float32(v) for v in IDENTITY], [1, 0, 0, 0, 1, 0, 0, 0, 1]):
        np.testing.assert_array_equal(trelvane.warp_rgb(RGB, inverse, Scale(), 0, False, Name("bilinear")), expected)

    class Size(tuple):
        pass

    out = trelvane.warp_rgb(RGB, IDENTITY, 1, 0, 0, out_size=Size((np.int64(2), 1)))
    assert out.shape == (1, 2, 3)
    np.testing.assert_array_equal(trelvane.warp_rgb(RGB, IDENTITY, 1, 0, 0, out_size=None), expected)


@pytest.mark.parametrize("name", ["Bilinear", "lanczos", " bilinear", "nearest", "Lanczos"])
def test_unknown_filter_names(name):
    error = raised(lambda: trelvane.remap_gray(GRAY, MAP, MAP, name))
    assert type(error) is ValueError
    assert str(error) == f'unknown filter "{name}", expected "bilinear" or "lanczos3"'
    assert not hasattr(error, "__notes__")


@pytest.mark.parametrize("name, shown", [("a\tb\"c\\", r'"a\tb\"c\\"'), ("x\x00\n\x07", r'"x\0\n\u{7}"'), ("größe", '"größe"')])
def test_unknown_filter_name_is_quoted_as_a_literal(name, shown):
    error = raised(lambda: trelvane.remap_rgb(RGB, MAP, MAP, name))
    assert str(error) == f'unknown filter {shown}, expected "bilinear" or "lanczos3"'


GRAY_MESSAGE = "remap_gray expects a (height, width) array of uint8 or uint16 and float32 maps"
RGB_MESSAGE = "remap_rgb expects a (height, width, 3) array of uint8 or uint16 and float32 maps"
WARP_MESSAGE = "warp_rgb expects a (height, width, 3) array of uint8 or uint16"


def wrong_source(message, found):
    """A source's fixed message, and its note on what came instead."""
    expected = "a 2-D uint8 or uint16 array" if message == GRAY_MESSAGE else "a (height, width, 3) uint8 or uint16 array"
    return message, f"src: expected {expected}, got {found}"


@pytest.mark.parametrize("call, kind, message", [
    # Each call has several faults; the first in check order is reported.
    (lambda: trelvane.remap_gray(GRAY.astype(float), [1], MAP, "nearest"), TypeError, "'list' object is not an instance of 'ndarray'"),
    (lambda: trelvane.remap_gray(GRAY.astype(float), MAP, MAP, "nearest"), ValueError,
     'unknown filter "nearest", expected "bilinear" or "lanczos3"'),
    (lambda: trelvane.remap_gray(GRAY.astype(float), MAP, MAP[:2]), TypeError,
     wrong_source(GRAY_MESSAGE, "float64 of shape (4, 5)")),
    (lambda: trelvane.remap_gray(GRAY.astype(np.int16), MAP, MAP), TypeError,
     wrong_source(GRAY_MESSAGE, "int16 of shape (4, 5)")),
    (lambda: trelvane.remap_gray(RGB, MAP, MAP), TypeError, wrong_source(GRAY_MESSAGE, "uint8 of shape (4, 5, 3)")),
    (lambda: trelvane.remap_gray(GRAY.astype(">u2"), MAP, MAP), TypeError,
     wrong_source(GRAY_MESSAGE, ">u2 of shape (4, 5)")),
    (lambda: trelvane.remap_rgb(GRAY, MAP, MAP), TypeError, wrong_source(RGB_MESSAGE, "uint8 of shape (4, 5)")),
    (lambda: trelvane.remap_rgb(RGB[..., :2], MAP, MAP), TypeError,
     wrong_source(RGB_MESSAGE, "uint8 of shape (4, 5, 2)")),
    (lambda: trelvane.remap_rgb(RGB.astype(np.float32), MAP, MAP), TypeError,
     wrong_source(RGB_MESSAGE, "float32 of shape (4, 5, 3)")),
    (lambda: trelvane.remap_rgb(RGB, np.zeros((4, 5), np.float32), np.zeros((5, 4), np.float32)),
     ValueError, "map_x and map_y must have the same shape"),
    (lambda: trelvane.warp_rgb(GRAY, [0] * 8, "s", 0, 0), ValueError, "expected a sequence of length 9 (got 8)"),
    (lambda: trelvane.warp_rgb(GRAY, IDENTITY, 1, 0, 0, "cubic", [1, 2]), TypeError, "'list' object is not an instance of 'tuple'"),
    (lambda: trelvane.warp_rgb(GRAY, IDENTITY, 1, 0, 0, "cubic", (1, 2)), ValueError,
     'unknown filter "cubic", expected "bilinear" or "lanczos3"'),
    (lambda: trelvane.warp_rgb(GRAY, IDENTITY, 1, 0, 0), TypeError, wrong_source(WARP_MESSAGE, "uint8 of shape (4, 5)")),
    (lambda: trelvane.warp_rgb(RGB.tolist(), IDENTITY, 1, 0, 0), TypeError, wrong_source(WARP_MESSAGE, "list")),
])
def test_check_order_and_messages(call, kind, message):
    error = raised(call)
    message, *notes = message if isinstance(message, tuple) else (message,)
    assert type(error) is kind and str(error) == message
    if notes:  # a source's note, alone: it is no conversion of the argument
        assert error.__notes__ == notes


@pytest.mark.parametrize("call, message", [
    (lambda: trelvane.remap_gray(GRAY, np.zeros((3, 0), np.float32), np.zeros((3, 0), np.float32)),
     "chunk_size must not be zero"),
    (lambda: trelvane.remap_rgb(RGB, np.zeros((0, 0), np.float32), np.zeros((0, 0), np.float32), "lanczos3"),
     "chunk_size must not be zero"),
    (lambda: trelvane.warp_rgb(RGB, IDENTITY, 1, 0, 0, out_size=(0, 5)), "chunk_size must not be zero"),
    (lambda: trelvane.warp_rgb(np.zeros((3, 0, 3), np.uint8), IDENTITY, 1, 0, 0), "chunk_size must not be zero"),
    (lambda: trelvane.remap_gray(np.zeros((0, 4), np.uint16), MAP[:2, :2] + 1, np.full((2, 2), -0.5, np.float32)),
     "min > max. min = 0, max = -1"),
    (lambda: trelvane.warp_rgb(np.zeros((0, 3, 3), np.uint8), [1, 0, 0, 0, 1, -0.5, 0, 0, 1], 1, 0, 0,
                               "lanczos3", (2, 2)), "min > max. min = 0, max = -1"),
])
def test_internal_failures_raise_panic_exception(call, message):
    error = raised(call)
    assert type(error).__name__ == "PanicException"
    assert type(error).__bases__ == (BaseException,)
    assert not isinstance(error, Exception)
    assert error.args == (message,)
    # One class for every failure, created once.
    assert type(error) is type(raised(lambda: trelvane.warp_rgb(RGB, IDENTITY, 1, 0, 0, out_size=(0, 1))))


def test_empty_inputs_that_are_not_failures():
    empty_rows = np.zeros((0, 7), np.float32)
    assert trelvane.remap_rgb(RGB, empty_rows, empty_rows).shape == (0, 7, 3)
    assert trelvane.warp_rgb(RGB, IDENTITY, 1, 0, 0, out_size=(4, 0)).shape == (0, 4, 3)
    # An empty source is accepted; positions outside its domain give 0.
    out = trelvane.remap_gray(np.zeros((0, 0), np.uint8), MAP + 3, MAP + 3)
    assert out.shape == (4, 5) and not out.any()


# No elements, but the widest float32 maps NumPy can make.
WIDE_EMPTY_MAPS = np.zeros((0, 2 ** 61 - 1), np.float32)


@pytest.mark.parametrize("src, out_size", [
    (RGB, (2 ** 62, 2 ** 62)), (RGB, (2 ** 64 - 1, 1)), (RGB, (1, 2 ** 64 - 1)),
    # Zero pixels, but a dimension that times the element size exceeds npy_intp.
    (RGB, (2 ** 62, 0)), (RGB, (0, 2 ** 62)), (RGB.astype(np.uint16), (2 ** 61, 0)),
    (RGB, (2 ** 63, 0)), (RGB, (0, 2 ** 64 - 1)),
])
def test_unrepresentable_output_raises_memory_error(src, out_size):
    assert type(raised(lambda: trelvane.warp_rgb(src, IDENTITY, 1, 0, 0, out_size=out_size))) is MemoryError


def test_unrepresentable_remap_output_raises_memory_error():
    src = RGB.astype(np.uint16)  # 6 bytes a pixel: 6 × (2**61 - 1) exceeds npy_intp
    assert type(raised(lambda: trelvane.remap_rgb(src, WIDE_EMPTY_MAPS, WIDE_EMPTY_MAPS))) is MemoryError
    # Just representable: 3 bytes a pixel.
    assert trelvane.remap_rgb(RGB, WIDE_EMPTY_MAPS, WIDE_EMPTY_MAPS).shape == (0, 2 ** 61 - 1, 3)
    assert trelvane.warp_rgb(RGB, IDENTITY, 1, 0, 0, out_size=(2 ** 61, 0)).shape == (0, 2 ** 61, 3)


def test_result_arrays_own_their_memory():
    out = trelvane.remap_rgb(RGB.astype(np.uint16), MAP, MAP, "lanczos3")
    assert out.dtype == np.uint16 and out.shape == (4, 5, 3)
    assert out.flags.c_contiguous and out.flags.writeable and out.flags.aligned
    assert out.base is not None and not isinstance(out.base, np.ndarray)
    out[...] = 7  # writeable memory of its own
    view = out[1:, 2]
    del out
    gc.collect()
    assert (view == 7).all()


def test_inputs_are_never_written():
    src = RGB.copy()
    maps = np.random.default_rng(1).uniform(-1, 6, (2, 4, 5)).astype(np.float32)
    before = (src.copy(), maps.copy())
    trelvane.remap_rgb(src, maps[0], maps[1], "lanczos3")
    trelvane.warp_rgb(src, IDENTITY, 0.7, 0.2, 0.1)
    np.testing.assert_array_equal(src, before[0])
    np.testing.assert_array_equal(maps, before[1])


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts threads in /proc/self/task")
@pytest.mark.parametrize("setting, workers", [("1", 0), ("2", 2), ("5", 5), ("0", None), ("-1", None),
                                              ("many", None), (None, None)])
def test_num_threads_setting_sizes_the_pool(setting, workers):
    # The pool's threads appear with the first call; count them in a fresh
    # process. None: the default, one worker per available processor.
    env = {} if setting is None else {"TRELVANE_NUM_THREADS": setting}
    out = run_python("""
        import os, numpy as np, trelvane
        before = len(os.listdir("/proc/self/task"))
        trelvane.remap_gray(np.zeros((64, 64), np.uint8), *[np.zeros((64, 64), np.float32)] * 2)
        print(len(os.listdir("/proc/self/task")) - before)
    """, env)
    default = os.process_cpu_count()  # the processors this process may use
    assert int(out) == (default if workers is None else workers)


def test_threads_racing_to_the_first_call():
    # A fresh interpreter: the NumPy table, the exception class and the worker
    # pool are all created by whichever thread gets there first.
    out = run_python("""
        import threading, numpy as np, trelvane
        barrier = threading.Barrier(8)
        results, errors = [None] * 8, []
        src = np.arange(48, dtype=np.uint8).reshape(4, 4, 3)
        def work(i):
            barrier.wait()
            try:
                if i % 2:
                    trelvane.remap_rgb(src, np.zeros((2, 0), np.float32), np.zeros((2, 0), np.float32))
            except BaseException as e:
                errors.append(type(e))
            results[i] = trelvane.warp_rgb(src, [1, 0, 0, 0, 1, 0, 0, 0, 1], 1, 0, 0)
        threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
        assert all((r == src).all() for r in results)
        assert len(errors) == 4 and len(set(errors)) == 1, errors
        print("ok")
    """)
    assert out.strip() == "ok"


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_forked_child_can_still_call():
    out = run_python("""
        import os, warnings, numpy as np, trelvane
        warnings.simplefilter("ignore", DeprecationWarning)
        src = np.random.default_rng(0).integers(0, 255, (64, 64, 3), dtype=np.uint8)
        H = [1.1, 0.05, -2, 0.02, 0.9, 1, 0.0005, 0.0002, 1]
        expected = trelvane.warp_rgb(src, H, 1, 0, 0, "lanczos3")  # the pool exists now
        pid = os.fork()
        if pid == 0:
            ok = (trelvane.warp_rgb(src, H, 1, 0, 0, "lanczos3") == expected).all()
            os._exit(0 if ok else 1)
        _, status = os.waitpid(pid, 0)
        print(os.waitstatus_to_exitcode(status))
    """)
    assert out.strip() == "0"


def test_concurrent_calls_match_sequential_calls():
    from concurrent.futures import ThreadPoolExecutor
    rng = np.random.default_rng(7)
    src = rng.integers(0, 65535, (120, 90, 3), dtype=np.uint16)
    maps = rng.uniform(-5, 125, (2, 100, 110)).astype(np.float32)
    calls = [
        lambda: trelvane.remap_rgb(src, maps[0], maps[1], "lanczos3"),
        lambda: trelvane.remap_gray(src[..., 0].copy(), maps[1], maps[0]),
        lambda: trelvane.warp_rgb(src, [0.9, 0.1, 3, -0.1, 1.2, 0, 1e-3, 2e-3, 1], 1.3, -2, 4, "lanczos3"),
        lambda: trelvane.warp_rgb(src[::-1], [1, 0.2, 0, 0, 1, 0, 0, 0, 1], 0.8, 0, 0),
    ] * 6
    sequential = [call() for call in calls]
    with ThreadPoolExecutor(max_workers=8) as pool:
        concurrent = list(pool.map(lambda call: call(), calls))
    for a, b in zip(sequential, concurrent):
        np.testing.assert_array_equal(a, b)


def test_other_threads_run_during_a_computation():
    import threading
    count, stop = [0], threading.Event()

    def spin():
        while not stop.is_set():
            count[0] += 1

    spinner = threading.Thread(target=spin)
    spinner.start()
    try:
        src = np.zeros((1500, 1500, 3), np.uint8)
        before = count[0]
        trelvane.warp_rgb(src, [1, 0, 0, 0, 1, 0, 0, 0, 1], 1, 0, 0, "lanczos3")
        during = count[0] - before
    finally:
        stop.set()
        spinner.join()
    assert during > 0


@pytest.mark.skipif(not __import__("sysconfig").get_config_var("Py_GIL_DISABLED"),
                    reason="needs the free-threaded interpreter")
def test_import_keeps_the_gil_disabled():
    assert run_python("import sys, trelvane; print(sys._is_gil_enabled())").strip() == "False"
