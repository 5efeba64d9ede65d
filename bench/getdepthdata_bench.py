"""getDepthData on a 240 x 180 frame of the virtual camera, next to numpy
copying the same bytes (a float32 array of that shape), timed with timeit in
one run. Prints Google Benchmark's JSON layout, so scripts/bench.sh reads it
with the C++ results.

Usage: python getdepthdata_bench.py MODULE_DIR
Runs under Python 2.7 and Python 3; needs numpy.
"""

from __future__ import print_function

import json
import os
import shutil
import sys
import tempfile
import timeit


def best_seconds_per_call(call, number, repeat):
    # The fastest of several repetitions: the least disturbed by other load.
    return min(timeit.repeat(call, number=number, repeat=repeat)) / number


def main():
    if len(sys.argv) != 2:
        sys.stderr.write(__doc__)
        return 2
    sys.path.insert(0, sys.argv[1])
    import numpy
    import VelmoraDepthCamera as vdc

    directory = tempfile.mkdtemp(prefix="velmora-pybench-")
    try:
        config = os.path.join(directory, "camera.cfg")
        with open(config, "w") as f:
            # Paced like a real sensor: an unpaced stream keeps the capture thread
            # overwriting frames on the other core while the copies are timed.
            f.write("fps=30\n")
        camera = vdc.VelmoraCamera()
        if camera.openWithFile(config, 0) != vdc.TOFErrorCode.VelmoraSuccess:
            sys.stderr.write("the virtual camera did not open\n")
            return 1
        camera.start(vdc.TOFOutput.DEPTH)
        frame = camera.requestFrame(2000)
        if frame is None:
            sys.stderr.write("no frame from the virtual camera\n")
            return 1
        depth = frame.getDepthData()
        if depth.shape != (180, 240) or depth.dtype != numpy.float32:
            sys.stderr.write("unexpected depth plane %r %r\n" % (depth.shape, depth.dtype))
            return 1
        same_bytes = numpy.array(depth)

        number, repeat = 2000, 7
        get_depth = best_seconds_per_call(frame.getDepthData, number, repeat)
        numpy_copy = best_seconds_per_call(same_bytes.copy, number, repeat)
        camera.releaseFrame(frame)
        camera.stop()
        camera.close()
    finally:
        shutil.rmtree(directory, ignore_errors=True)

    python = "python%d.%d" % sys.version_info[:2]
    results = {"benchmarks": [
        {"name": "%s/getDepthData" % python, "run_type": "iteration", "cpu_time": get_depth * 1e9,
         "real_time": get_depth * 1e9, "time_unit": "ns"},
        {"name": "%s/numpy_copy" % python, "run_type": "iteration", "cpu_time": numpy_copy * 1e9,
         "real_time": numpy_copy * 1e9, "time_unit": "ns"},
    ]}
    print(json.dumps(results))
    return 0


if __name__ == "__main__":
    sys.exit(main())
