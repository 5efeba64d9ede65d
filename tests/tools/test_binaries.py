"""No binary of the build tree looks for libraries in a relative directory (an empty
RUNPATH entry is the current directory); the privileged tool needs none of the tree's."""

import os
import re
import subprocess
import unittest


def dynamic(path, tag):
    text = subprocess.check_output(["readelf", "-d", path], universal_newlines=True)
    return [entry for value in re.findall(r"\(%s\)[^[]*\[(.*)\]" % tag, text) for entry in value.split(":")]


class SearchPathTest(unittest.TestCase):
    def test_libraries_come_from_fixed_directories_only(self):
        tool, relative = os.environ["VELMORA_TEST_PRIVILEGED_TOOL"], {}
        for folder, _, names in os.walk(os.environ["VELMORA_TEST_BUILD_DIR"]):
            for path in (p for p in (os.path.join(folder, name) for name in names) if not os.path.islink(p)):
                with open(path, "rb") as handle:
                    head = handle.read(18)
                if head[:4] == b"\x7fELF" and head[16] in (2, 3):  # executables and shared objects
                    relative[path] = [e for e in dynamic(path, "R(?:UN)?PATH") if not re.match(r"/|\$ORIGIN(/|$)", e)]
        self.assertEqual(dict((path, e) for path, e in relative.items() if e), {})
        built = set(os.path.basename(path) for path in relative)
        self.assertEqual((dynamic(tool, "R(?:UN)?PATH"), [n for n in dynamic(tool, "NEEDED") if n in built]), ([], []))


if __name__ == "__main__":
    unittest.main()
