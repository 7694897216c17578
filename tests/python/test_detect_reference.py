"""detect gives, bit for bit, the segments recorded in data/detect_reference.json
(see detect_cases.py): the same count, order and float64 bits of every field,
for every dtype, scale, layout and size recorded there."""
import json

import pytest

import trelvane
from detect_cases import RECORD, cases, fingerprint
from test_frame import run_python

with open(RECORD) as f:
    RECORDED = json.load(f)
CASES = cases()


def test_record_covers_every_case():
    assert sorted(RECORDED) == sorted(CASES)


@pytest.mark.parametrize("case", sorted(CASES))
def test_same_segments_as_recorded(case):
    make, scale = CASES[case]
    assert fingerprint(trelvane.detect(make(), scale)) == RECORDED[case]


def test_same_segments_with_a_single_worker():
    # A process bound to one processor gets a pool of one worker.
    out = run_python("""
        import os, json
        os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
        import trelvane
        from detect_cases import RECORD, cases, fingerprint
        recorded = json.load(open(RECORD))
        chosen = [c for c in sorted(cases()) if c.startswith(("camera-", "bars", "specials", "narrow"))]
        for case in chosen:
            make, scale = cases()[case]
            assert fingerprint(trelvane.detect(make(), scale)) == recorded[case], case
        print(len(chosen))
    """)
    assert int(out) > 50
