"""detect gives the segments recorded in data/ (see detect_cases.py), for every
dtype, scale, layout and size recorded there.

Where this machine's C library and the case's input have the recorded
fingerprints, the comparison is bit for bit: the same count, order and float64
bits of every field. Elsewhere the last bit of hypot, atan2, exp, ... may
differ, which now and then moves a level-line angle across the alignment
tolerance: an aligned pixel more or less changes log_nfa by about 0.9, and the
improvement may take another half-pixel step. The comparison is then within
tolerances, in pixels of the working (downsampled) image, set from glibc's
generic x86-64 functions and its aarch64 build against the record (largest
differences seen in brackets):
- each segment pairs with one whose end points, in either order, lie within
  END (0.5); a segment of either side left unpaired must have log_nfa below
  MARGIN, near the validation threshold 0 (0.7);
- paired widths differ by at most WIDTH (1.0), precisions by a factor 2 at
  most (2), log_nfa by at most SCORE (3.3).
The test summary says which comparison ran.
"""
import importlib.util
import json

import numpy as np
import pytest

import trelvane
from conftest import run_python
from detect_cases import RECORD, SEGMENTS, as_array, c_library_fingerprints, cases, fingerprint, input_fingerprint
from sample_photos import BUNDLED, sample

END, MARGIN, WIDTH, SCORE = 1.0, 3.0, 1.5, 4.0

with open(RECORD) as f:
    RECORDED = json.load(f)
RECORDED_SEGMENTS = np.load(SEGMENTS)
CASES = cases()


def c_library_difference():
    """None where this C library gives the recorded fingerprints, otherwise
    why not. Rounds are compared as they come: most differ in the first."""
    recorded, rounds = iter(RECORDED["c_library"]), 0
    for rounds, mine in enumerate(c_library_fingerprints(), 1):
        if mine != next(recorded, None):
            return "the C library's functions differ from the recorded ones"
    return None if rounds else "no C library to fingerprint"


C_LIBRARY_DIFFERENCE = c_library_difference()
SKIMAGE = importlib.util.find_spec("skimage") is not None


def built(case):
    make, scale, _, needs = CASES[case]
    if needs:
        pytest.importorskip("skimage", reason=needs)
    return make(), scale


def end_gaps(a, b):
    """For each pair of a row of a and a row of b, the farther end-point
    distance with b's ends in the nearer order."""
    def gap(i, j):
        return np.hypot(a[:, None, i] - b[None, :, j], a[:, None, i + 1] - b[None, :, j + 1])
    return np.minimum(np.maximum(gap(0, 0), gap(2, 2)), np.maximum(gap(0, 2), gap(2, 0)))


def differences(recorded, fresh, scale):
    """What the comparison within tolerances does not accept, as messages.
    Segments pair with their mutually nearest ones."""
    unit = scale if 0 < scale < 1 else 1.0  # working-image pixels per input pixel
    a, b = (np.asarray(s, np.float32) * np.float32([unit] * 5 + [1, 1]) for s in (recorded, fresh))
    gaps = end_gaps(a, b)
    paired, nearest = np.zeros(len(a), bool), np.zeros(len(a), int)
    if gaps.size:
        nearest = gaps.argmin(axis=1)
        paired = (gaps[np.arange(len(a)), nearest] <= END) & (gaps.argmin(axis=0)[nearest] == np.arange(len(a)))
    unpaired = np.ones(len(b), bool)
    unpaired[nearest[paired]] = False
    out = [f"lost {row.round(2)}" for row in a[~paired] if row[6] >= MARGIN]
    out += [f"new {row.round(2)}" for row in b[unpaired] if row[6] >= MARGIN]
    mine, theirs = a[paired], b[nearest[paired]]
    changed = ((abs(theirs[:, 4] - mine[:, 4]) > WIDTH) | ~(abs(np.log2(theirs[:, 5] / mine[:, 5])) <= 1)
               | (abs(theirs[:, 6] - mine[:, 6]) > SCORE))
    out += [f"changed {x.round(2)} -> {y.round(2)}" for x, y in zip(mine[changed], theirs[changed])]
    return out


def test_record_covers_every_case():
    assert sorted(RECORDED["cases"]) == sorted(CASES)


@pytest.mark.parametrize("name", sorted(BUNDLED))
def test_bundled_photos_are_parts_of_scikit_images(name):
    data = pytest.importorskip("skimage.data", reason="compared with scikit-image's photos")
    part = sample(name)
    assert np.array_equal(part, getattr(data, name)()[:part.shape[0], :part.shape[1]])


@pytest.mark.parametrize("case", sorted(CASES))
def test_same_segments_as_recorded(case, record_property):
    image, scale = built(case)
    segments = trelvane.detect(image, scale)
    count, digest, input_digest = RECORDED["cases"][case]
    if C_LIBRARY_DIFFERENCE:
        comparison = "within tolerances: " + C_LIBRARY_DIFFERENCE
    elif input_fingerprint(image) != input_digest:
        comparison = "within tolerances: the input differs from the recorded one"
    else:
        comparison = "bit for bit"
        assert fingerprint(segments) == [count, digest]
    record_property("comparison", comparison)
    assert differences(RECORDED_SEGMENTS[digest], as_array(segments), scale) == []


@pytest.mark.parametrize("columns, shift, found", [
    (None, 0, ["new"]),  # the recorded segment removed: the fresh one has no partner
    ([0, 2], 3.0, ["lost", "new"]),
    ([4], 2.5, ["changed"]),
    ([5], 0.25, ["changed"]),
    ([6], 5.0, ["changed"]),
], ids=["lost", "moved", "wider", "less-precise", "weaker"])
def test_comparison_within_tolerances_reports_a_changed_segment(columns, shift, found):
    case = "strokes-0.8"
    recorded = RECORDED_SEGMENTS[RECORDED["cases"][case][1]].copy()
    fresh = as_array(trelvane.detect(*built(case)))
    assert differences(recorded, fresh, 0.8) == []
    strongest = np.argmax(recorded[:, 6])
    if columns is None:
        recorded = np.delete(recorded, strongest, axis=0)
    else:
        recorded[strongest, columns] += shift
    assert [message.split()[0] for message in differences(recorded, fresh, 0.8)] == found


@pytest.mark.parametrize("workers", ["1", "2", "3", "8"])
@pytest.mark.parametrize("photos", [False, True], ids=["synthetic", "photos"])
def test_same_segments_with_any_number_of_workers(photos, workers):
    # TRELVANE_NUM_THREADS=1 keeps every call on its calling thread; from 3
    # threads on, the seed loop speculates on all of them (2: one validates
    # beside it). Always the bits this process's pool gives.
    chosen = [c for c, case in sorted(CASES.items()) if case.photo == photos and (not case.needs or SKIMAGE)
              and (not photos or c.startswith(("camera-", "specials", "narrow")))]
    expected = [str(fingerprint(trelvane.detect(*built(c)))) for c in chosen]
    out = run_python(f"""
        import trelvane
        from detect_cases import cases, fingerprint
        every = cases()
        for case in {chosen!r}:
            make, scale, *_ = every[case]
            print(fingerprint(trelvane.detect(make(), scale)))
    """, {"TRELVANE_NUM_THREADS": workers})
    assert out.splitlines() == expected and len(chosen) > 30
