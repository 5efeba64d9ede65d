"""python -m velmora_tools COMMAND ...: list, record, info, ply, replay-config."""

from __future__ import print_function

import sys

USAGE = """usage: python -m velmora_tools COMMAND [ARGS]

commands:
  list                 what this host offers: camera nodes, board model, virtual camera
  record OUTPUT ...    record RAW frames into a file (velmora-record)
  info RECORDING       what a recording holds
  ply OUTPUT ...       write one depth frame as a PLY point cloud (velmora-ply)
  replay-config REC    print a virtual camera configuration that replays REC
"""


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if not argv or argv[0] in ("-h", "--help"):
        sys.stdout.write(USAGE)
        return 0 if argv else 2
    command, rest = argv[0], argv[1:]
    if command == "list":
        from .host import report

        report()
        return 0
    if command == "record":
        from .record import main as record_main

        return record_main(rest)
    if command == "info":
        from .recording import RecordingError, describe

        if len(rest) != 1:
            print("usage: python -m velmora_tools info RECORDING", file=sys.stderr)
            return 2
        try:
            describe(rest[0])
        except (RecordingError, IOError, OSError) as error:
            print("info: %s" % error, file=sys.stderr)
            return 1
        return 0
    if command == "ply":
        from .ply import main as ply_main

        return ply_main(rest)
    if command == "replay-config":
        from .replay import main as replay_main

        return replay_main(rest)
    print("unknown command %r\n%s" % (command, USAGE), file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
