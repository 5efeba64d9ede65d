"""python -m velmora_tools COMMAND ...: list, record, info, ply, replay-config."""

from __future__ import print_function

import importlib
import sys

USAGE = """usage: python -m velmora_tools COMMAND [ARGS]

commands:
  list                 what this host offers: camera nodes, board model, virtual camera
  record OUTPUT ...    record RAW frames into a file (velmora-record)
  info RECORDING       what a recording holds (velmora-info)
  ply OUTPUT ...       write one depth frame as a PLY point cloud (velmora-ply)
  replay-config REC    print a virtual camera configuration that replays REC (velmora-replay-config)
"""

# Command -> the module of this package whose main() runs it; the installed
# velmora-COMMAND programs run the same functions.
COMMANDS = {"record": "record", "info": "recording", "ply": "ply", "replay-config": "replay"}


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
    if command not in COMMANDS:
        print("unknown command %r\n%s" % (command, USAGE), file=sys.stderr)
        return 2
    return importlib.import_module("velmora_tools." + COMMANDS[command]).main(rest)


if __name__ == "__main__":
    sys.exit(main())
