"""velmora-ply: writes one depth frame of a camera as a PLY point cloud.

    velmora-ply room.ply                         # USB camera 0 / the virtual camera
    velmora-ply room.ply --replay hall.vrec      # first frame of a recording
    velmora-ply room.ply --csi 0 --intrinsics 210.5,210.5,119.5,89.5

Coordinates are millimetres, x right, y down, z forward. Without
--intrinsics or --fov the points are the driver's: the lens of a calibration
given with --calibration, else the camera's nominal lens.
"""

from __future__ import print_function

import argparse
import sys

from ._cli import UserError, add_source_arguments, camera_module, check_output, open_source, run_tool


def parse_args(argv):
    parser = argparse.ArgumentParser(prog="velmora-ply", description=__doc__.splitlines()[0].split(": ", 1)[1])
    parser.add_argument("output", help="PLY file to write")
    add_source_arguments(parser)
    lens = parser.add_mutually_exclusive_group()
    lens.add_argument("--intrinsics", metavar="FX,FY,CX,CY", help="pinhole intrinsics in pixels")
    lens.add_argument("--fov", type=float, metavar="DEG", help="horizontal field of view, square pixels")
    parser.add_argument("--max-mm", type=float, default=None, help="drop points farther than this")
    parser.add_argument("--colour", choices=("depth", "amplitude", "none"), default="depth")
    parser.add_argument("--ascii", action="store_true", help="ASCII PLY instead of binary")
    parser.add_argument("--skip", type=int, default=2, help="frames to let pass before the one written")
    parser.add_argument("--force", action="store_true", help="overwrite an existing file")
    return parser.parse_args(argv)


def intrinsics_for(args, width, height):
    from .pointcloud import Intrinsics

    if args.intrinsics:
        try:
            fx, fy, cx, cy = (float(v) for v in args.intrinsics.split(","))
        except ValueError:
            raise UserError("--intrinsics needs four numbers: FX,FY,CX,CY")
        try:
            return Intrinsics(fx, fy, cx, cy, width, height)
        except ValueError as error:
            raise UserError("--intrinsics %s: %s" % (args.intrinsics, error))
    if args.fov is not None:
        try:
            return Intrinsics.from_fov(width, height, args.fov)
        except ValueError as error:
            raise UserError("--fov %g: %s" % (args.fov, error))
    return None


def run(args, out=sys.stdout, err=sys.stderr):
    check_output(args.output, overwrite=args.force)
    vdc = camera_module()
    from .pointcloud import frame_to_ply

    # A wrong lens setting is refused before the camera is opened (checked at
    # the HQVGA size; the cloud uses the frame's own).
    intrinsics_for(args, 240, 180)
    cam = vdc.VelmoraCamera()
    try:
        what = open_source(cam, args)
        rc = cam.start(vdc.TOFOutput.DEPTH)
        if rc != vdc.TOFErrorCode.VelmoraSuccess:
            raise RuntimeError("cannot start streaming: %s" % rc.str())
        depth = amplitude = None
        for _ in range(max(args.skip, 0) + 1):
            frame = cam.requestFrame(3000)
            if frame is None:
                raise RuntimeError("no frame from the %s within 3 s" % what)
            try:
                depth, amplitude = frame.getDepthData(), frame.getAmplitudeData()
                cloud = frame.getPointCloud()
            finally:
                cam.releaseFrame(frame)
        height, width = depth.shape
        lens = intrinsics_for(args, width, height)
        count = frame_to_ply(args.output, depth, amplitude, lens, cloud=None if lens else cloud,
                             max_mm=args.max_mm, colour=None if args.colour == "none" else args.colour,
                             binary=not args.ascii, overwrite=args.force)
    except RuntimeError as error:
        print("ply: %s" % error, file=err)
        return 1
    finally:
        cam.stop()
        cam.close()
    print("ply: %d points from the %s to %s" % (count, what, args.output), file=out)
    return 0


def main(argv=None):
    return run_tool("ply", lambda args: run(parse_args(args)), argv)


if __name__ == "__main__":
    sys.exit(main())
