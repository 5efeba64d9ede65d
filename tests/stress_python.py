"""Random use and misuse of the VelmoraDepthCamera module: thousands of calls
in random order on a few cameras, from the main thread and a helper thread,
must never crash the interpreter. Each call either succeeds, returns an error
code, or raises one of the exceptions the module documents for misuse.

    python3 tests/stress_python.py [--steps N] [--seeds S1,S2,...] [--timeout SECONDS]

Every seed runs in a child interpreter, so a crash is seen as the child's
death and a deadlock as its silence; the child logs each call before making
it, and the parent prints the last calls of a child that died or hung.
"""

import argparse
import gc
import os
import random
import subprocess
import sys
import tempfile
import threading
import time

# What misuse may raise: wrong argument types or ranges, frames used after
# they stopped being valid.
EXPECTED = (TypeError, ValueError, OverflowError, RuntimeError)


def child(seed, steps, log_path):
    import VelmoraDepthCamera as vdc

    rng = random.Random(seed)
    log = open(log_path, "w")
    tmp = tempfile.mkdtemp(prefix="velmora_stress_")
    configs = {
        "fast": "scene=constant\ndistance_mm=1500\nnoise=5\nseed=%d\nfps=0\n" % seed,
        "paced": "scene=demo\nfps=60\n",
        "faulty": "scene=constant\nfps=0\nfail_capture_every=7\nwrong_size_every=13\n"
                  "timestamp_gap_every=5\n",
        "bad": "width=240\nbit_width=99\n",
        "garbage": "\x00\xff=\n==\n#\n" * 3,
    }
    paths = {}
    for name, text in configs.items():
        paths[name] = os.path.join(tmp, name + ".txt")
        with open(paths[name], "w") as f:
            f.write(text)
    paths["missing"] = os.path.join(tmp, "missing.txt")
    paths["directory"] = tmp
    paths["empty"] = ""

    outputs = list(vdc.TOFOutput.__members__.values())
    controls = list(vdc.TOFControl.__members__.values())
    values = [0, 1, 2, 3, 4, 5, 255, 256, 2000, 4000, -1, -2 ** 31, 2 ** 31 - 1, 2 ** 31, 2 ** 64, 1.5, "x", None]
    timeouts = [0, 0, 1, 5, 20, 100, -1, -5, 32767 + 1, -32768 - 1, "1", None, 2.0]

    cams = [vdc.VelmoraCamera() for _ in range(2)]
    held = []        # (camera index, frame)
    stale = []       # frames released or invalidated
    arrays = []      # arrays copied out, kept past their frames
    streaming = [False, False]
    lock = threading.Lock()
    stop_helper = [False]
    surprises = []

    def pick_cam():
        return rng.randrange(len(cams))

    def frame_calls(frame):
        for name in ("getDepthData", "getAmplitudeData", "getConfidenceData", "getRawData", "getFrameFormat"):
            method = getattr(frame, name, None)
            if method is None:
                continue
            try:
                result = method()
                if hasattr(result, "shape"):
                    arrays.append(result)
                    if len(arrays) > 20:
                        del arrays[:10]
            except EXPECTED:
                pass

    # A second thread requesting and releasing on camera 0, as a consumer would.
    def helper():
        hrng = random.Random(seed + 1)
        while not stop_helper[0]:
            try:
                frame = cams[0].requestFrame(hrng.choice([0, 5, 30]))
            except EXPECTED:
                frame = None
            if frame is not None:
                frame_calls(frame)
                time.sleep(hrng.random() * 0.005)
                try:
                    cams[0].releaseFrame(frame)
                    cams[0].releaseFrame(frame)
                except EXPECTED:
                    pass
            else:
                time.sleep(0.001)

    helper_thread = threading.Thread(target=helper)
    helper_thread.daemon = True
    helper_thread.start()

    def action_open(i):
        kind = rng.random()
        if kind < 0.6:
            rc = cams[i].openWithFile(paths[rng.choice(["fast", "fast", "paced", "faulty", "bad", "garbage",
                                                        "missing", "directory", "empty"])], rng.choice([0, 0, 1, -1]))
        elif kind < 0.8:
            rc = cams[i].open(vdc.TOFConnect.USB, rng.choice([0, 1, 7]))
        elif kind < 0.9:
            rc = cams[i].open(vdc.TOFConnect.CSI, rng.choice([0, 1, 63, 2 ** 31 - 1]))
        else:
            rc = cams[i].open(rng.choice([1, "USB", None, 2.5]), 0)
        streaming[i] = False
        return rc

    def action_start(i):
        rc = cams[i].start(rng.choice(outputs))
        if rc == vdc.TOFErrorCode.VelmoraSuccess:
            streaming[i] = True
        return rc

    def action_stop(i):
        streaming[i] = False
        return cams[i].stop()

    def action_close(i):
        streaming[i] = False
        return cams[i].close()

    def action_control(i):
        ctrl = rng.choice(controls + [7, None])
        if rng.random() < 0.5:
            return cams[i].setControl(ctrl, rng.choice(values))
        return cams[i].getControl(ctrl)

    def action_info(i):
        info = cams[i].getCameraInfo()
        _ = (info.index, info.connect, info.device_type, info.type, info.width, info.height, info.bit_width, info.bpp)
        info.width = rng.choice([0, 1, 2 ** 32 - 1])
        return info

    def action_request(i):
        timeout = rng.choice(timeouts)
        watchdog = None
        if timeout == -1:
            # Waits without limit (other negative timeouts are refused): when
            # no frame can come (all held, every frame skipped) a stop from
            # another thread must end the wait.
            watchdog = threading.Timer(0.3, cams[i].stop)
            watchdog.start()
        try:
            frame = cams[i].requestFrame(timeout)
        finally:
            if watchdog is not None:
                watchdog.cancel()
                watchdog.join()
        if frame is not None:
            held.append((i, frame))
            frame_calls(frame)
        return frame

    def action_release(i):
        if held and rng.random() < 0.8:
            owner, frame = held.pop(rng.randrange(len(held)))
            target = owner if rng.random() < 0.8 else 1 - owner   # sometimes the other camera
            rc = cams[target].releaseFrame(frame)
            stale.append(frame)
            return rc
        if stale and rng.random() < 0.7:
            frame = rng.choice(stale)
            frame_calls(frame)
            return cams[i].releaseFrame(frame)
        return cams[i].releaseFrame(rng.choice([None, 0, "frame", cams[1 - i]]))

    def action_replace(i):
        # Dropping a camera that may stream or hold frames; its frames become stale.
        with lock:
            for owner, frame in list(held):
                if owner == i:
                    held.remove((owner, frame))
                    stale.append(frame)
            if i == 0:
                return None  # the helper thread uses camera 0; keep it
            cams[i] = vdc.VelmoraCamera()
            streaming[i] = False
            gc.collect()
        return None

    def action_stale_frames(i):
        for frame in stale[-5:]:
            frame_calls(frame)
        if len(stale) > 50:
            del stale[:25]
        return None

    def action_enum_misuse(i):
        code = rng.choice(list(vdc.TOFErrorCode.__members__.values()))
        _ = code.str(), int(code), repr(code)
        return vdc.TOFErrorCode(rng.choice([0, 1, -2, 240, 12345]))

    actions = [
        (action_open, 8), (action_start, 10), (action_stop, 6), (action_close, 4), (action_control, 12),
        (action_info, 3), (action_request, 25), (action_release, 18), (action_replace, 1),
        (action_stale_frames, 3), (action_enum_misuse, 2),
    ]
    weighted = [a for a, w in actions for _ in range(w)]

    for step in range(steps):
        action = rng.choice(weighted)
        i = pick_cam()
        log.write("%d %s cam%d\n" % (step, action.__name__, i))
        log.flush()
        try:
            action(i)
        except EXPECTED:
            pass
        except Exception as error:  # anything else is the module misbehaving
            surprises.append("step %d %s: %s: %s" % (step, action.__name__, type(error).__name__, error))

    stop_helper[0] = True
    helper_thread.join(10)
    for cam in cams:
        try:
            cam.stop()
            cam.close()
        except EXPECTED:
            pass
    # The arrays outlive their frames and cameras.
    total = 0.0
    for array in arrays:
        total += float(array.sum()) if array.size else 0.0
    log.write("done\n")
    log.close()
    if surprises:
        sys.stderr.write("unexpected exceptions:\n  " + "\n  ".join(surprises[:20]) + "\n")
        return 1
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--steps", type=int, default=3000)
    parser.add_argument("--seeds", default="1,2,3")
    parser.add_argument("--child", type=int, default=None)
    parser.add_argument("--log", default=None)
    parser.add_argument("--timeout", type=int, default=300, help="seconds a child may take")
    args = parser.parse_args()

    if args.child is not None:
        sys.exit(child(args.child, args.steps, args.log))

    failed = False
    for seed in [int(s) for s in args.seeds.split(",") if s]:
        log_path = os.path.join(tempfile.gettempdir(), "velmora_stress_python_%d_%d.log" % (os.getpid(), seed))
        began = time.time()
        proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--child", str(seed),
                                 "--steps", str(args.steps), "--log", log_path])
        try:
            returncode = proc.wait(timeout=args.timeout)
            outcome = "exit %d" % returncode
        except subprocess.TimeoutExpired:
            # A hang is a failure too: a deadlock never returns to the caller.
            proc.kill()
            proc.wait()
            returncode = None
            outcome = "no progress after %d s" % args.timeout
        with open(log_path) as f:
            lines = f.read().splitlines()
        calls = len([l for l in lines if l != "done"])
        print("seed %d: %d calls in %.1f s, %s" % (seed, calls, time.time() - began, outcome))
        if returncode != 0 or not lines or lines[-1] != "done":
            failed = True
            print("seed %d failed; its last calls:" % seed)
            for line in lines[-10:]:
                print("  " + line)
        else:
            os.remove(log_path)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
