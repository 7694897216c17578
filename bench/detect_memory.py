"""How detect's peak memory grows with the image: bytes per input pixel above
the input itself, at scales 0.8 and 1.0, on one thread and on the default pool.

    python bench/detect_memory.py [--quick]

Each call runs in a fresh interpreter, which reads the enlarged camera photo
from a .npy file, resets its peak resident size, calls detect once (on one
thread, the default pool and eight threads) and notes
the new peak: the difference is what the call added at its peak, the
module's buffers and the result list together. Linux only (/proc).
"""

import argparse
import os
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np
import skimage.data
import skimage.transform

# Linux's peak resident size (VmHWM) is inherited through fork and exec, so
# the child resets it (clear_refs 5) before taking its mark.
CHILD = """
import sys, numpy as np, trelvane
def peak():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
image = np.load(sys.argv[1])
trelvane.detect(image[:8, :8], 1.0)  # the pool and the module's tables, before the mark
with open("/proc/self/clear_refs", "w") as refs:
    refs.write("5")
before = peak()
trelvane.detect(image, float(sys.argv[2]))
print(peak() - before)
"""


def photo(side):
    big = skimage.transform.resize(skimage.data.camera(), (side, side), order=1, preserve_range=True)
    return np.round(big).astype(np.uint8)


def added_bytes(path, scale, threads):
    env = dict(os.environ, TRELVANE_NUM_THREADS=str(threads))
    out = subprocess.run([sys.executable, "-c", CHILD, str(path), str(scale)], env=env, check=True,
                         capture_output=True, text=True).stdout
    return int(out) * 1024  # VmHWM is in KiB


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="1024x1024 only")
    args = parser.parse_args()
    sides = (1024,) if args.quick else (1024, 2048, 4096, 8192)
    print("detect's peak above its uint8 input, bytes per input pixel")
    print(f"{'image':<11}{'scale':>6}{'1 thread':>10}{'pool':>8}{'8 threads':>11}")
    with tempfile.TemporaryDirectory() as folder:
        for side in sides:
            path = Path(folder) / f"camera{side}.npy"
            np.save(path, photo(side))
            for scale in (0.8, 1.0):
                one, pool, eight = (added_bytes(path, scale, threads) / side ** 2 for threads in (1, 0, 8))
                print(f"{f'{side}x{side}':<11}{scale:>6}{one:>10.1f}{pool:>8.1f}{eight:>11.1f}", flush=True)


if __name__ == "__main__":
    main()
