"""The dependency scan of scripts/dependencies.py: what it must see in shell
and Python code, and what it must not take for a program."""
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts"))
import dependencies  # noqa: E402


class ShellScan(unittest.TestCase):
    def test_commands_found_and_not_found(self):
        cases = [
            ("cmake -S . -B build\nctest --test-dir build", {"cmake", "ctest"}),
            ('uri="$(awk \'/^URIs:/ { print $2 }\' f)"', {"awk"}),
            ("timeout 60 qemu-system-x86_64 -m 512 | tee log", {"qemu-system-x86_64", "tee"}),
            ("CC=clang CXX=clang++ cmake -S fuzz", {"clang", "clang++", "cmake"}),
            ('exec "$(dirname "$0")/apt-install.sh" \\\n  build-essential cmake', {"dirname"}),
            ("need=(build-essential\n      googletest)\nfor p in a; do dpkg-query -W $p; done", {"dpkg-query"}),
            ("for ((i = 3; i >= 0; i--)); do echo $(( $(date +%s) - started )); done", {"date"}),
            ("cat > f <<'EOF'\nnot-a-program here\nEOF\n# apt-get in a comment\nmv a b", {"cat", "mv"}),
            ("step() { printf x; }\nstep build", set()),
            ("command -v pyenv >/dev/null && pyenv root", set()),
            ("sudo modprobe vivid; $SUDO apt-get update", {"modprobe", "apt-get"}),
        ]
        for text, expected in cases:
            with self.subTest(text=text):
                self.assertEqual(dependencies.shell_commands(text), expected)


if __name__ == "__main__":
    unittest.main()
