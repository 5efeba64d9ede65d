"""Mistakes a user can make with the command-line tools. Each one ends in a
single line on stderr that names the file or the setting, exit status 2, no
traceback, and no file left behind."""

import io
import os
import sys
import unittest

from tools_fixture import HAVE_MODULE, HAVE_NUMPY, TempDirTestCase, run_python, write_config
from test_recording import HQVGA_INFO
from velmora_tools import recording

PREVIEW = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "examples", "preview.py")
TOOLS = ["-m", "velmora_tools"]
# Runs a module or a script as this interpreter would with numpy missing.
WITHOUT_NUMPY = ["-c", "import runpy, sys; sys.modules['numpy'] = None; target = sys.argv.pop(1); "
                       "runpy.run_path(target, run_name='__main__') if target.endswith('.py') else "
                       "runpy.run_module(target, run_name='__main__', alter_sys=True)"]
CAMERA, PY3 = "camera", "py3"

# (needs, arguments, text the line must hold); %(d)s is the test's directory.
# A camera that does not exist (CSI 99) stands behind the output checks: the
# path must be refused before any camera is opened.
CASES = [
    (None, TOOLS + ["info", "/etc/passwd"], "/etc/passwd: not a recording"),
    (None, TOOLS + ["info", "%(d)s/missing.vrec"], "%(d)s/missing.vrec: No such file"),
    (None, TOOLS + ["info", "%(d)s/sparse.vrec"], "sparse.vrec: holds 25450"),
    (None, TOOLS + ["replay-config", "/etc/passwd"], "/etc/passwd: not a recording"),
    (None, TOOLS + ["replay-config", "%(d)s/empty.vrec"], "%(d)s/empty.vrec holds no frame"),
    (None, TOOLS + ["record", "/nonexistent/dir/z.vrec", "--csi", "99"], "cannot write /nonexistent/dir/z.vrec"),
    (None, TOOLS + ["record", "%(d)s", "--csi", "99"], "cannot write %(d)s: it is a directory"),
    (None, TOOLS + ["record", "%(d)s/kept.vrec", "--csi", "99"], "%(d)s/kept.vrec exists (use --force"),
    (None, TOOLS + ["ply", "/nonexistent/x.ply", "--csi", "99"], "cannot write /nonexistent/x.ply"),
    (None, WITHOUT_NUMPY + ["velmora_tools", "record", "%(d)s/z.vrec"], "install Debian's python3-numpy"),
    (None, WITHOUT_NUMPY + ["velmora_tools", "ply", "%(d)s/z.ply"], "install Debian's python3-numpy"),
    (CAMERA, TOOLS + ["ply", "%(d)s/z.ply", "--replay", "/etc/passwd"], "/etc/passwd: not a recording"),
    (CAMERA, TOOLS + ["ply", "%(d)s/z.ply", "--replay", "%(d)s/missing.vrec"], "cannot read %(d)s/missing.vrec"),
    (CAMERA, TOOLS + ["ply", "%(d)s/z.ply", "--fov", "200"], "--fov 200: field of view"),
    (CAMERA, TOOLS + ["ply", "%(d)s/z.ply", "--intrinsics", "1,2,3"], "--intrinsics needs four numbers"),
    (CAMERA, TOOLS + ["ply", "%(d)s/z.ply", "--filter", "nonsense=1"], "--filter nonsense=1: expected NAME=VALUE"),
    (CAMERA, TOOLS + ["ply", "%(d)s/z.ply", "--filter", "temporal=maybe"], "temporal is on or off"),
    (CAMERA, TOOLS + ["ply", "%(d)s/z.ply", "--filter", "temporal_alpha=7"], "temporal_alpha 7 is outside"),
    (CAMERA, TOOLS + ["ply", "%(d)s/z.ply", "--calibration", "%(d)s/none.yaml"], "none.yaml': No such file"),
    (CAMERA, TOOLS + ["record", "%(d)s/z.vrec", "--csi", "99"], "cannot open the CSI camera 99"),
    (CAMERA, TOOLS + ["record", "%(d)s/z.vrec", "--config", "%(d)s/none.cfg"],
     "camera configured by %(d)s/none.cfg"),
    # What the driver says about a bad configuration joins the one line.
    (CAMERA, TOOLS + ["record", "%(d)s/z.vrec", "--config", "%(d)s/bad.cfg"], "bad value 'slow'"),
    (PY3, [PREVIEW, "--replay", "/etc/passwd", "--png", "%(d)s/p.png"], "/etc/passwd: not a recording"),
    (PY3, [PREVIEW, "--png", "/nonexistent/p.png", "--csi", "99"], "cannot write /nonexistent/p.png"),
    (PY3, [PREVIEW, "--png", "%(d)s/p.xyz"], "cannot write %(d)s/p.xyz"),
    (PY3, [PREVIEW, "--csi", "99", "--png", "%(d)s/p.png"], "cannot open the CSI camera 99"),
    (PY3, [PREVIEW, "--filter", "spatial_edge_mm=x", "--png", "%(d)s/p.png"], "spatial_edge_mm takes a number"),
    (PY3, WITHOUT_NUMPY + [PREVIEW, "--png", "%(d)s/p.png"], "install Debian's python3-numpy"),
]

# Tools writing a file; what is planted at its path, --force given, the exit status.
OUTPUTS = [(CAMERA, TOOLS + ["record", "--frames", "1"], "out.vrec"),
           (CAMERA, TOOLS + ["ply", "--skip", "0"], "out.ply"),
           (PY3, [PREVIEW, "--seconds", "0.3", "--png"], "out.png")]
PLANTS = [("dangling link", False, 2), ("dangling link", True, 0), ("link", True, 0), ("hard link", True, 0)]


class UserErrorTest(TempDirTestCase):
    def runnable(self, needs):
        if needs == CAMERA:
            return HAVE_NUMPY and HAVE_MODULE
        if needs == PY3:
            return HAVE_NUMPY and HAVE_MODULE and sys.version_info[0] >= 3
        return True

    def test_each_mistake_gives_one_line_and_status_2(self):
        recording.Recorder(self.path("empty.vrec"), HQVGA_INFO).close()
        sparse = recording.Recorder(self.path("sparse.vrec"), HQVGA_INFO)  # never closed, sparse to 8 TiB
        sparse._file.truncate(8 << 40)
        sparse._file.close()
        with io.open(self.path("kept.vrec"), "wb") as handle:
            handle.write(b"kept")
        write_config(self.workdir, "bad.cfg", replay_pace="slow")
        before = sorted(os.listdir(self.workdir))
        ran = 0
        for needs, arguments, expected in CASES:
            if not self.runnable(needs):
                continue
            ran += 1
            arguments = [a % {"d": self.workdir} for a in arguments]
            code, _, err = run_python(arguments, cwd=self.workdir)
            lines = err.strip().splitlines()
            self.assertEqual((code, len(lines)), (2, 1), "%s:\n%s" % (" ".join(arguments), err))
            self.assertIn(expected % {"d": self.workdir}, lines[0])
            self.assertNotIn("Traceback", err)
            self.assertEqual(sorted(os.listdir(self.workdir)), before, " ".join(arguments))
        self.assertGreaterEqual(ran, 10)

    def test_output_never_goes_through_a_link(self):
        """A link at the output path never leads the output into another file."""
        config, elsewhere = write_config(self.workdir, fps=60), self.path("elsewhere")
        os.mkdir(elsewhere)
        for needs, command, name in OUTPUTS:
            for n, (kind, force, status) in enumerate(PLANTS if self.runnable(needs) else []):
                output, victim = self.path("%d%s" % (n, name)), os.path.join(elsewhere, name + str(n))
                if kind != "dangling link":
                    with io.open(victim, "wb") as handle:
                        handle.write(b"keep")
                (os.link if kind == "hard link" else os.symlink)(victim, output)
                what = "%s over a %s%s" % (name, kind, " with --force" if force else "")
                code, _, err = run_python(command + [output, "--config", config] + ["--force"] * force)
                self.assertEqual((code, os.path.islink(output)), (status, not force), "%s: %s" % (what, err))
                if kind == "dangling link":
                    self.assertFalse(os.path.exists(victim), what)
                else:
                    with io.open(victim, "rb") as handle:
                        self.assertEqual(handle.read(), b"keep", what)


if __name__ == "__main__":
    unittest.main()
