"""Command-line pieces shared by the tools: choosing and opening a camera."""


def add_source_arguments(parser, default_help="USB camera 0 (the virtual camera when no vendor library is linked)"):
    source = parser.add_mutually_exclusive_group()
    source.add_argument("--usb", type=int, nargs="?", const=0, metavar="INDEX",
                        help="open the USB camera INDEX (default 0)")
    source.add_argument("--csi", type=int, metavar="INDEX", help="open the CSI camera /dev/videoINDEX")
    source.add_argument("--config", metavar="FILE", help="open a USB camera configured by FILE")
    source.add_argument("--replay", metavar="RECORDING", help="replay a recording through the driver")
    parser.add_argument("--unpaced", action="store_true",
                        help="with --replay: deliver frames as fast as the driver reads them")
    parser.add_argument("--range", type=int, default=None, metavar="MM",
                        help="measuring range (HQVGA: 2000 or 4000 mm)")
    parser.epilog = ((parser.epilog + " ") if parser.epilog else "") + "Without a source: %s." % default_help


def open_source(cam, args):
    """Opens ``cam`` as the arguments say; returns a description, raises
    RuntimeError when the camera does not open."""
    import VelmoraDepthCamera as vdc

    if args.csi is not None:
        what, rc = "CSI camera %d" % args.csi, cam.open(vdc.TOFConnect.CSI, args.csi)
    elif args.config is not None:
        what, rc = "camera configured by %s" % args.config, cam.openWithFile(args.config)
    elif args.replay is not None:
        from .replay import open_replay

        what = "replay of %s" % args.replay
        try:
            rc = open_replay(cam, args.replay, "unpaced" if args.unpaced else "recorded")
        except (ValueError, IOError, OSError) as error:
            raise RuntimeError(str(error))
    else:
        index = args.usb if args.usb is not None else 0
        what, rc = "USB camera %d" % index, cam.open(vdc.TOFConnect.USB, index)
    if rc != vdc.TOFErrorCode.VelmoraSuccess:
        raise RuntimeError("cannot open the %s: %s" % (what, rc.str()))
    if args.range is not None:
        rc = cam.setControl(vdc.TOFControl.RANGE, args.range)
        if rc != vdc.TOFErrorCode.VelmoraSuccess:
            cam.close()
            raise RuntimeError("range %d refused: %s" % (args.range, rc.str()))
    return what
