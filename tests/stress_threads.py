"""Several Python threads call detect, remap_gray, remap_rgb and warp_rgb at
once, on photos and synthetic images, until a deadline; every result must
equal, bit for bit, the one the same call gave when the calls ran one after
another. Meanwhile other threads resize and mutate the list that the warp_rgb
calls get as `inverse` (its first nine values stay the homography's, so a call
sees them or, while the list is longer, raises), and read the attributes of
the segments the detect calls produce, as they come.

It is written for a free-threaded interpreter (make test-free-threaded), where
nothing serialises the calls. Each TRELVANE_NUM_THREADS setting runs in a
process of its own; the last line reads "stress: N passed, N failed", and the
exit status is non-zero on any failure.

Usage: python tests/stress_threads.py [SECONDS]   (of calls per setting; default 25)
"""
import collections
import os
import random
import subprocess
import sys
import sysconfig
import threading
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent / "python"))
from detect_cases import bars, noise, with_specials  # noqa: E402
from sample_photos import sample  # noqa: E402

import trelvane  # noqa: E402

SETTINGS = ("1", "2", "3", "8")  # TRELVANE_NUM_THREADS, one process each
CALLERS, MUTATORS, READERS = 4, 2, 2
HOMOGRAPHY = (0.93, 0.08, 5.5, -0.05, 1.04, 3.25, 0.0009, -0.0011, 1.02)
FIELDS = ("x1", "y1", "x2", "y2", "width", "precision", "log_nfa", "length", "angle")
LENGTH_ERROR = "expected a sequence of length 9 (got "


def parallel_lines(height, width):
    """Thin bright lines two pixels apart, slightly tilted: many close seeds."""
    y, x = np.mgrid[0:height, 0:width]
    return np.where((y + x // 40) % 3 == 0, 220.0, 30.0)


def wavy_maps(h, w, rng):
    """Source positions for an h x w output: a wave past the edges, with NaN
    and infinite entries."""
    ys, xs = np.mgrid[0:h, 0:w].astype(np.float32)
    map_x, map_y = xs * 1.1 - 4 + 3 * np.sin(ys / 9), ys * 0.95 + 2 * np.cos(xs / 13)
    for m in (map_x, map_y):
        m[rng.random(m.shape) < 0.01] = np.nan
        m[rng.random(m.shape) < 0.005] = np.inf
    return map_x, map_y


def calls(inverse):
    """Every function, both filters and both sample types, as callables."""
    rng = np.random.default_rng(7)
    gray = np.ascontiguousarray(sample("camera")[::2, ::2])
    rgb = np.ascontiguousarray(sample("astronaut")[::2, ::2])
    coffee = sample("coffee")
    deep_rgb = (rgb.astype(np.uint16) * 257 + rng.integers(0, 257, rgb.shape)).astype(np.uint16)
    map_x, map_y = wavy_maps(180, 200, rng)
    made = []
    for f in ("bilinear", "lanczos3"):
        made += [
            lambda f=f: trelvane.remap_gray(gray, map_x, map_y, f),
            lambda f=f: trelvane.remap_gray(gray.astype(np.uint16) * 257, map_y, map_x, f),
            lambda f=f: trelvane.remap_rgb(rgb, map_x, map_y, f),
            lambda f=f: trelvane.remap_rgb(deep_rgb, map_x, map_y, f),
            lambda f=f: trelvane.warp_rgb(coffee, inverse, 1.2, 5, -3, f, (200, 150)),
            lambda f=f: trelvane.warp_rgb(deep_rgb, inverse, 0.8, -10, 4, f),
            lambda f=f: trelvane.warp_rgb(rgb, HOMOGRAPHY, 1.5, 0, 0, f, (120, 260)),
        ]
    images = [gray, sample("coins").astype(np.float32), with_specials(sample("text")),
              with_specials(sample("camera")[:160, :200]).astype(np.float32), parallel_lines(150, 200),
              bars(150, 210).astype(np.uint16) * 257, noise(120, 160).astype(np.uint8)]
    made += [lambda image=image, scale=scale: trelvane.detect(image, scale)
             for image in images for scale in (1.0, 0.8)]
    return made


def comparable(result):
    """The result's bits (a segment's attributes and repr)."""
    if isinstance(result, list):
        fields = np.array([[getattr(s, f) for f in FIELDS] for s in result], np.float64)
        return fields.tobytes(), [repr(s) for s in result]
    return result.dtype.str, result.shape, result.tobytes()


class Tally:
    """Passed checks by kind, and what failed."""
    def __init__(self):
        self.lock = threading.Lock()
        self.passed, self.failures = collections.Counter(), []

    def add(self, ok, kind, what=""):
        with self.lock:
            if ok:
                self.passed[kind] += 1
            else:
                self.failures.append(what)


def stress(seconds):
    """One process: the sequential results, then the threads until the
    deadline. Returns the tally."""
    inverse = list(HOMOGRAPHY)
    work = calls(inverse)
    expected = [comparable(call()) for call in work]
    produced = []  # (call, segments) as the detect calls return them
    tally, done = Tally(), threading.Event()
    deadline = time.monotonic() + seconds

    def caller(seed):
        order, rng = list(range(len(work))), random.Random(seed)
        while time.monotonic() < deadline:
            rng.shuffle(order)
            for i in order:
                try:
                    result = work[i]()
                except Exception as error:  # only for a list longer than nine at the time
                    tally.add(type(error) is ValueError and str(error).startswith(LENGTH_ERROR),
                              "raised for a longer list", f"call {i} raised {error!r}")
                    continue
                tally.add(comparable(result) == expected[i], "calls",
                          f"call {i} differs from its sequential result")
                if isinstance(result, list):
                    produced.append((i, result))

    def mutator(seed):
        rng = random.Random(seed)
        while not done.is_set():
            inverse.extend([rng.random()] * rng.randrange(1, 40))  # the items move to a larger array
            del inverse[9:]
            k = rng.randrange(9)
            inverse[k] = float(repr(HOMOGRAPHY[k]))  # an equal value in a new object
            inverse[:] = [float(repr(v)) for v in HOMOGRAPHY]

    def reader(seed):
        rng = random.Random(seed)
        while not done.is_set():
            if produced:
                i, segments = produced[rng.randrange(len(produced))]
                tally.add(comparable(segments) == expected[i], "segment lists read",
                          f"the segments of call {i} read differently")
            time.sleep(0.001)  # leaves the processors to the calls

    threading.excepthook = lambda hook: tally.add(False, "", f"{hook.thread.name} raised {hook.exc_value!r}")
    helpers = [threading.Thread(target=mutator, args=(k,)) for k in range(MUTATORS)]
    helpers += [threading.Thread(target=reader, args=(k,)) for k in range(READERS)]
    callers = [threading.Thread(target=caller, args=(k,)) for k in range(CALLERS)]
    for thread in helpers + callers:
        thread.start()
    for thread in callers:
        thread.join()
    done.set()
    for thread in helpers:
        thread.join()
    return tally


def gil_on():
    """On a free-threaded interpreter: whether the GIL is on."""
    return bool(sysconfig.get_config_var("Py_GIL_DISABLED")) and sys._is_gil_enabled()


def child(seconds):
    """Prints the failures, then the counts of passed and failed checks."""
    on_after_import = gil_on()
    tally = stress(seconds)
    if on_after_import or gil_on():
        tally.add(False, "", "the GIL was on")
    print("  passed: " + ", ".join(f"{count} {kind}" for kind, count in sorted(tally.passed.items())))
    for failure in tally.failures[:10]:
        print("  failed:", failure)
    print(tally.passed.total(), len(tally.failures))


def main(seconds):
    print(f"Python {sys.version}; GIL on after importing trelvane: {gil_on()}")
    passed = failed = 0
    for setting in SETTINGS:
        start = time.monotonic()
        env = dict(os.environ, TRELVANE_NUM_THREADS=setting)
        run = subprocess.run([sys.executable, __file__, "--child", str(seconds)], env=env,
                             capture_output=True, text=True)
        lines = run.stdout.splitlines()
        if run.returncode != 0 or not lines:
            print(f"TRELVANE_NUM_THREADS={setting}: the process ended with status {run.returncode}\n{run.stderr}")
            failed += 1
            continue
        ok, bad = map(int, lines[-1].split())
        print(f"TRELVANE_NUM_THREADS={setting}: {ok} passed, {bad} failed in {time.monotonic() - start:.0f} s")
        for line in lines[:-1]:
            print(line)
        passed, failed = passed + ok, failed + bad
    print(f"stress: {passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["--child"]:
        child(float(sys.argv[2]))
    else:
        sys.exit(main(float(sys.argv[1]) if len(sys.argv) > 1 else 25.0))
