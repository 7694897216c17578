"""Times trelvane.detect against its peers and against the plain detector.

    python bench/bench_detect.py STAGE_TIMER [--quick]

On the camera photo (uint8, upscaled for the larger sizes) at 512², 1024² and
2048² (512² only with --quick), scales 0.8 and 1.0, it prints, each measured
side by side in one run:

- detect's time and segment count;
- the ratio to a plain NumPy 2×2 gradient-magnitude pass over the same image
  (conversion to float64, the two half-weighted differences, hypot), the floor
  every detection pays in some form: the median of rounds in which the two are
  called in turn;
- the ratio to scikit-image's Canny + probabilistic Hough transform;
- the ratio to the plain stage functions run one after the other (the
  implementation the fused, parallel path replaced), from the C++ stage timer
  (bench/detect_stages.cpp), with the stage split of the fused path.

Then the pool against one worker (a pool without threads, as
TRELVANE_NUM_THREADS=1 makes it), from the stage timer calling both in turn in
one process (the median of the rounds' ratios), at 2048² and 8192² (512² with
--quick), scales 0.8 and 1.0, beside the same path with the parallel seed loop forced (detect
uses it from two threads on) and what it did with its growths; what a
second thread costs the committer's growths, by what it does beside them
(bench/seed_loop_interference.cpp); the model of the parallel seed loop on
2 to 32 threads, from a recorded run of the 2048² photo at 0.8
(bench/seed_loop_model.hpp), its costs measured in the same run, beside the
seed loop measured on the default pool against one worker; and two Python threads
calling detect at once (2048², or 512² with --quick, scale 0.8): calls per
second and CPU seconds per call, alone and side by side, against what the CPU
time allows (processors / CPU seconds per call).
"""

import argparse
import os
import subprocess
import tempfile
import threading
import time

import numpy as np
import skimage.data
import skimage.feature
import skimage.transform
from PIL import Image

import trelvane


def best_of(fn, repeats):
    best, result = float("inf"), None
    for _ in range(repeats):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def paired(a, b, rounds):
    """a and b called in turn, `rounds` times each, taking turns at going
    first, so that the machine's drift from one minute to the next falls on
    both alike: the best seconds of each, the median of the rounds' ratios
    (a's time over b's) and b's last result."""
    times, result = {a: [], b: []}, None
    for r in range(rounds):
        for fn in ((a, b) if r % 2 == 0 else (b, a)):
            start = time.perf_counter()
            out = fn()
            times[fn].append(time.perf_counter() - start)
            if fn is b:
                result = out
    ratios = sorted(x / y for x, y in zip(times[a], times[b]))
    return min(times[a]), min(times[b]), ratios[len(ratios) // 2], result


def photo(side):
    camera = skimage.data.camera()
    if side == camera.shape[0]:
        return camera
    big = skimage.transform.resize(camera, (side, side), order=1, preserve_range=True)
    return np.ascontiguousarray(np.round(big).astype(np.uint8))


def numpy_field(image):
    # The level-line magnitude as NumPy computes it, with no detection at all.
    a = image.astype(np.float64)
    top_left, top_right, bottom_left, bottom_right = a[:-1, :-1], a[:-1, 1:], a[1:, :-1], a[1:, 1:]
    gx = (top_right + bottom_right - top_left - bottom_left) * 0.5
    gy = (bottom_left + bottom_right - top_left - top_right) * 0.5
    return np.hypot(gx, gy)


def canny_hough(image):
    # The pipeline a user would reach for instead: edges, then line pieces.
    edges = skimage.feature.canny(image, sigma=2.0)
    return skimage.transform.probabilistic_hough_line(edges, threshold=10, line_length=20,
                                                      line_gap=3, rng=0)


def stage_times(timer, image, scale, repeats, env=None, beside=1.0):
    """{path: {stage: seconds}} for the fused and the reference path,
    {"trace": {...}} for the recorded loop and {"model threads N": {...}} for
    the modelled parallel seed loop, its costs multiplied by `beside`."""
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "image.pgm")
        Image.fromarray(image).save(path)
        lines = subprocess.run([timer, path, repr(scale), str(repeats), repr(beside)], check=True,
                               capture_output=True, text=True, env={**os.environ, **(env or {})}).stdout.splitlines()
    out = {}
    for line in lines:
        words = line.split()
        name, fields = (" ".join(words[:3]), words[3:]) if words[0] == "model" else (words[0], words[1:])
        out[name] = {key: float(value) for key, value in zip(fields[::2], fields[1::2])}
    return out


POOL_ROUNDS = 9


def pool_against_one_worker(timer, sides):
    """detect's path with the default pool and with one worker, call for call
    in turn in one process; beside them the parallel seed loop on the
    default pool, whatever its size, and what it did with its growths."""
    print(f"\nthe pool against one worker (a pool without threads, as TRELVANE_NUM_THREADS=1 makes it), stage timer,"
          f" {POOL_ROUNDS} rounds of one call each in turn: best ms, and the median (least - greatest) of the rounds'"
          " ratios\n")
    print(f"{'image':<11}{'scale':>6}{'pool ms':>9}{'1 worker ms':>13}{'x faster':>10}{'range':>13}"
          f"{'parallel loop ms':>18}{'kept':>8}{'regrown':>9}{'own':>8}{'rechecked':>11}{'renewed':>9}")
    for side in sides:
        image = photo(side)
        for scale in (0.8, 1.0):
            paths = stage_times(timer, image, scale, POOL_ROUNDS)
            pool, alone, parallel = paths["fused"], paths["alone"], paths["parallel"]
            ratio = paths["pool_against_one_worker"]
            print(f"{f'{side}x{side}':<11}{scale:>6}{pool['total'] * 1e3:>9.1f}{alone['total'] * 1e3:>13.1f}"
                  f"{ratio['median']:>10.2f}{f'{ratio['least']:.2f} - {ratio['greatest']:.2f}':>13}"
                  f"{parallel['total'] * 1e3:>18.1f}"
                  f"{parallel['kept']:>8.0f}{parallel['regrown']:>9.0f}{parallel['own']:>8.0f}"
                  f"{parallel['rechecked']:>11.0f}{parallel['renewed']:>9.0f}", flush=True)


def interference(timer, side):
    """The committer's growths beside each kind of neighbour; returns how much
    slower they are beside a speculator than alone."""
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "image.pgm")
        Image.fromarray(photo(side)).save(path)
        lines = subprocess.run([os.path.join(os.path.dirname(timer), "seed_loop_interference"), path, "0.8", "7"],
                               check=True, capture_output=True, text=True).stdout.splitlines()
    ticks = {name: float(rest.split()[1]) for name, rest in (line.split("\t", 1) for line in lines)}
    print(f"\nthe committer's growths beside another thread, camera {side}x{side}, scale 0.8, best of 7"
          " (bench/seed_loop_interference.cpp)\n")
    print(f"{'beside':<19}{'ticks/growth':>13}{'x alone':>9}")
    for name, t in ticks.items():
        print(f"{name:<19}{t:>13.0f}{t / ticks['alone']:>9.2f}")
    return ticks["speculate shared"] / ticks["alone"]


def modelled_scaling(timer, side, beside):
    """The parallel seed loop's modelled speed-up on more threads, and the
    2-thread prediction against the loop measured in the same run."""
    paths = stage_times(timer, photo(side), 0.8, POOL_ROUNDS, beside=beside)
    model = {name: m for name, m in paths.items() if name.startswith("model")}
    trace = paths["trace"]
    print(f"\nparallel seed loop modelled on more threads, camera {side}x{side}, scale 0.8"
          f" (bench/seed_loop_model.hpp), each cost x {beside:.2f} beside another thread\n")
    print("recorded loop (ms): " + ", ".join(f"{k} {v * 1e3:.1f}" for k, v in trace.items() if k != "grown")
          + f"; {trace['grown']:.0f} seeds grown")
    print("the committer's ms: growing = growing seeds itself (and walking to them in blocks nobody speculated),"
          " keeping = checking and marking kept growths, waiting = for speculations; renewed = growths speculated"
          " again\n")
    print(f"{'threads':>8}{'loop speed-up':>15}{'regrown':>10}{'growing':>10}{'keeping':>10}{'waiting':>10}"
          f"{'renewed':>9}")
    for name, m in model.items():
        print(f"{name.split()[2]:>8}{m['speedup']:>15.2f}{m['regrown']:>10.1%}{m['growing'] * 1e3:>10.1f}"
              f"{m['keeping'] * 1e3:>10.1f}{m['waiting'] * 1e3:>10.1f}{m['renewed']:>9.0f}")
    bound = paths["bound"]
    print(f"longest chain of dependent growths: {bound['critical_path'] * 1e3:.1f} ms, so at these costs no loop"
          f" that keeps the sequential results is more than {bound['speedup']:.1f}x faster on any number of threads")
    measured = paths["pool_against_one_worker"]["loop_median"]
    predicted = model["model threads 2"]["speedup"]
    print(f"\nseed loop and validation, default pool against one worker, measured (median of {POOL_ROUNDS} rounds,"
          f" one call each in turn): {measured:.2f}x;"
          f" modelled for 2 threads: {predicted:.2f}x (model / measured {predicted / measured:.2f})")


def calls(image, scale, count, threads):
    """Wall and process CPU seconds for `count` calls on each of `threads` threads."""
    barrier = threading.Barrier(threads + 1)

    def work():
        barrier.wait()
        for _ in range(count):
            trelvane.detect(image, scale)

    workers = [threading.Thread(target=work) for _ in range(threads)]
    for w in workers:
        w.start()
    wall, cpu = time.perf_counter(), time.process_time()
    barrier.wait()
    for w in workers:
        w.join()
    return time.perf_counter() - wall, time.process_time() - cpu


def concurrency(side, scale, count):
    image = photo(side)
    trelvane.detect(image, scale)  # warm up the pool
    processors = len(os.sched_getaffinity(0))
    print(f"\ntwo concurrent callers: camera {side}x{side}, scale {scale}, {count} calls per thread, "
          f"{processors} processors\n")
    print(f"{'':<14}{'calls/s':>9}{'CPU ms/call':>13}{'wall ms/call':>14}")
    rows = {}
    for name, threads in (("alone", 1), ("side by side", 2)):
        wall, cpu = min((calls(image, scale, count, threads) for _ in range(2)), key=lambda r: r[0])
        rows[name] = (threads * count / wall, cpu / (threads * count))
        print(f"{name:<14}{rows[name][0]:>9.2f}{rows[name][1] * 1e3:>13.1f}{wall / count * 1e3:>14.1f}")
    allowed = processors / rows["side by side"][1]
    print(f"\nside by side: {rows['side by side'][0]:.2f} calls/s of the {allowed:.2f} that "
          f"{processors} processors / CPU time per call allow ({rows['side by side'][0] / allowed:.0%}); "
          f"{rows['side by side'][0] / rows['alone'][0]:.2f}x the throughput alone; "
          f"CPU per call {rows['side by side'][1] / rows['alone'][1]:.2f}x alone")
    print(f"load average of the machine: {os.getloadavg()[0]:.1f} (other processes take their share)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("timer", help="path of the detect_stages executable")
    parser.add_argument("--quick", action="store_true", help="512x512 only")
    args = parser.parse_args()
    sides = (512,) if args.quick else (512, 1024, 2048)

    print("trelvane.detect, uint8 camera photo, best of 7 (Canny + Hough best of 2); x numpy = the median of 7"
          " rounds' ratios, detect and the NumPy pass called in turn, (best) = best against best; x = how many times"
          " faster detect is\n")
    header = (f"{'image':<11}{'scale':>6}{'ms':>8}{'segs':>6}{'x numpy':>9}{'(best)':>9}{'x canny':>9}"
              f"{'fused ms':>10}{'plain ms':>10}{'x plain':>9}   fused stage split (%)")
    print(header)
    print("-" * (len(header) + 44))
    for side in sides:
        image = photo(side)
        peer, _ = best_of(lambda: canny_hough(image), 2)
        for scale in (0.8, 1.0):
            floor, ours, against_floor, segments = paired(lambda: numpy_field(image),
                                                          lambda: trelvane.detect(image, scale), 7)
            paths = stage_times(args.timer, image, scale, 5)
            fused, plain = paths["fused"], paths["reference"]
            assert fused["segments"] == plain["segments"] == len(segments)
            split = " ".join(f"{name} {100 * fused[name] / fused['total']:.0f}"
                             for name in ("front_end", "ordering", "growing", "validation"))
            print(f"{f'{side}x{side}':<11}{scale:>6}{ours * 1e3:>8.1f}{len(segments):>6}"
                  f"{against_floor:>9.2f}{floor / ours:>9.2f}{peer / ours:>9.1f}{fused['total'] * 1e3:>10.1f}"
                  f"{plain['total'] * 1e3:>10.1f}{plain['total'] / fused['total']:>9.2f}   {split}", flush=True)
    pool_against_one_worker(args.timer, (512,) if args.quick else (2048, 8192))
    beside = interference(args.timer, 512 if args.quick else 2048)
    modelled_scaling(args.timer, 512 if args.quick else 2048, beside)
    concurrency(512 if args.quick else 2048, 0.8, 4 if args.quick else 8)


if __name__ == "__main__":
    main()
