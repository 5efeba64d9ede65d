"""Runs the command blocks of the README as a user copies them, so the README
cannot drift from the code.

    VELMORA_TEST_BUILD_DIR=build /usr/bin/python3 -m unittest -v test_readme

Blocks tagged sh, python or cpp run; other tags are text. Above a block's
opening fence, "<!-- not run: REASON -->" skips it (a board, a system-wide
install) and "<!-- run for N s -->" marks a program that runs until
interrupted: it passes when it still runs after N seconds.

sh blocks run with bash -e, in order, in a copy of the checkout whose build/
is the real build, with a stock Debian PATH and an empty HOME shared by the
blocks of one file; python blocks with /usr/bin/python3 and the build's
module; cpp blocks are compiled against include/ and the build's library,
wrapped in main() when they have none.
"""
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import unittest

SOURCE = os.path.abspath(os.environ.get("VELMORA_TEST_SOURCE_DIR",
                                        os.path.join(os.path.dirname(__file__), "..", "..")))
BUILD = os.path.abspath(os.environ.get("VELMORA_TEST_BUILD_DIR", os.path.join(SOURCE, "build")))
DOCUMENTS = ["README.md"]
RUN_TAGS = ("sh", "python", "cpp")
BLOCK_TIMEOUT = 300

FENCE = re.compile(r"^```(\w*)[ \t]*\n(.*?)^```[ \t]*$", re.S | re.M)
NOT_RUN = re.compile(r"<!--\s*not run:\s*(\S.*?)\s*-->\s*$")
RUN_FOR = re.compile(r"<!--\s*run for (\d+) s\s*-->\s*$")


def blocks(path):
    """(line, tag, text, directive) of each fenced block."""
    with open(path) as f:
        text = f.read()
    for match in FENCE.finditer(text):
        line = text.count("\n", 0, match.start()) + 1
        above = text[:match.start()].rstrip("\n").rsplit("\n", 1)[-1]
        yield line, match.group(1), match.group(2), above


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def as_program(snippet):
    """A snippet without main() becomes the body of one."""
    if re.search(r"\bint\s+main\s*\(", snippet):
        return snippet
    head = [l for l in snippet.splitlines() if l.startswith("#include") or l.startswith("using ")]
    body = [l for l in snippet.splitlines() if l not in head]
    return "\n".join(head + ["int main() {"] + ["    " + l for l in body] + ["    return 0;", "}"]) + "\n"


class Workspace:
    """A copy of the checkout with the real build, and a private HOME."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="velmora-readme-")
        self.tree = os.path.join(self.root, "checkout")
        shutil.copytree(SOURCE, self.tree, symlinks=True,
                        ignore=shutil.ignore_patterns(".git", "build*", "third_party", "__pycache__"))
        os.symlink(BUILD, os.path.join(self.tree, "build"))
        if os.path.isdir(os.path.join(SOURCE, "third_party")):
            os.symlink(os.path.join(SOURCE, "third_party"), os.path.join(self.tree, "third_party"))
        self.home = os.path.join(self.root, "home")
        os.mkdir(self.home)
        self.env = {
            "PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
            "HOME": self.home,
            "LANG": "C.UTF-8",
            "ROS_MASTER_URI": "http://127.0.0.1:%d" % free_port(),
            "ROS_IP": "127.0.0.1",
            "ROS_HOME": os.path.join(self.home, ".ros"),
            "PYTHONDONTWRITEBYTECODE": "1",
        }

    def close(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def command(self, tag, text):
        """The command line and its input for one block."""
        if tag == "sh":
            return ["bash", "-e", "-o", "pipefail", "-c", text], None, self.env
        if tag == "python":
            env = dict(self.env, PYTHONPATH=os.path.join(BUILD, "python", "velmora_python3"))
            return ["/usr/bin/python3", "-"], text, env
        source = os.path.join(self.root, "snippet.cpp")
        with open(source, "w") as f:
            f.write(as_program(text))
        program = os.path.join(self.root, "snippet")
        compiled = subprocess.run(
            ["g++", "-std=c++17", "-I", os.path.join(SOURCE, "include"), source, "-o", program,
             "-L", BUILD, "-lvelmora", "-Wl,-rpath," + BUILD, "-pthread"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
        if compiled.returncode != 0:
            return None, compiled.stdout, None
        return [program], None, self.env

    def run(self, tag, text, run_for):
        """None when the block did what it should, else what went wrong."""
        argv, stdin, env = self.command(tag, text)
        if argv is None:
            return "does not compile:\n" + stdin
        process = subprocess.Popen(argv, cwd=self.tree, env=env, stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                   universal_newlines=True, start_new_session=True)
        try:
            output, _ = process.communicate(stdin, timeout=run_for or BLOCK_TIMEOUT)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGINT)
            try:
                output, _ = process.communicate(timeout=15)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                output, _ = process.communicate()
            return None if run_for else "still running after %d s:\n%s" % (BLOCK_TIMEOUT, output[-3000:])
        if run_for:
            return "ended (status %d) before %d s:\n%s" % (process.returncode, run_for, output[-3000:])
        if process.returncode != 0:
            return "exit status %d:\n%s" % (process.returncode, output[-3000:])
        return None


class ReadmeBlocks(unittest.TestCase):
    def test_every_command_block_runs(self):
        for document in DOCUMENTS:
            workspace = Workspace()
            self.addCleanup(workspace.close)
            ran = skipped = 0
            for line, tag, text, above in blocks(os.path.join(SOURCE, document)):
                if tag not in RUN_TAGS:
                    continue
                if NOT_RUN.search(above):
                    skipped += 1
                    continue
                run_for = RUN_FOR.search(above)
                with self.subTest(block="%s:%d" % (document, line)):
                    problem = workspace.run(tag, text, int(run_for.group(1)) if run_for else 0)
                    self.assertIsNone(problem, "%s line %d (%s):\n%s\n%s" % (document, line, tag, text, problem))
                ran += 1
            print("%s: %d command blocks run, %d not run" % (document, ran, skipped))
            self.assertGreater(ran, skipped, "most of the README's command blocks should run")


if __name__ == "__main__":
    unittest.main()
