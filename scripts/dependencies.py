#!/usr/bin/python3
"""Finds what this tree needs from the machine, by reading the tree, and
checks that the machine has it.

    dependencies.py list            what the tree needs, one "kind name" a line
    dependencies.py check [-- CMAKE_OPTIONS...]
                                    checks each on this machine, then configures
                                    the project with CMAKE_OPTIONS in a scratch
                                    build; prints "fresh root: N dependencies
                                    checked, M missing" and exits 1 when M > 0

Kinds: python (a module imported by tests, tools, examples or scripts), program
(a command run by the shell scripts, the README's command blocks or the Python
code), cmake-package (find_package), pkg-config (pkg_check_modules) and
library (find_library). The tree's own modules, programs and libraries are
left out; so are the standard library and shell builtins.
"""
import ast
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SKIP_DIRS = {".git", "third_party", "__pycache__"}
# Runs inside the qemu guest on busybox, not on the machine.
GUEST_FILES = {os.path.join("tests", "kernel", "init.sh")}

SHELL_WORDS = set("""
if then else elif fi for while until do done case esac in function select time
! { } [ [[ ]] ]] . : alias bg break builtin cd command continue declare dirs
disown echo enable eval exec exit export false fg getopts hash help history jobs
kill let local logout mapfile popd printf pushd pwd read readarray readonly
return set shift shopt source suspend test times trap true type typeset ulimit
umask unalias unset wait sudo env
""".split())
# Words that lead into a command; the word after them is a command again.
COMMAND_PREFIXES = {"exec", "sudo", "env", "time", "command", "!", "then", "do", "else", "if", "while", "until",
                    "nice", "timeout", "xargs", "$SUDO"}
SUBPROCESS_CALLS = {"run", "call", "check_call", "check_output", "Popen", "Process", "which"}
PROGRAM_NAME = re.compile(r"^[A-Za-z][\w.+-]*$")


def tree_files(*suffixes):
    for top, dirs, files in os.walk(ROOT):
        dirs[:] = sorted(d for d in dirs if d not in SKIP_DIRS and not d.startswith("build"))
        for name in sorted(files):
            path = os.path.join(top, name)
            rel = os.path.relpath(path, ROOT)
            if rel not in GUEST_FILES and name.endswith(suffixes):
                yield path


def shell_scripts():
    for path in tree_files(".sh", ".in", "run", "postinst", "postrm"):
        with open(path, "rb") as f:
            head = f.readline()
        if head.startswith(b"#!") and b"sh" in head and b"python" not in head:
            yield path


def own_names():
    """Modules, programs and libraries this tree makes itself."""
    modules = {"VelmoraDepthCamera"}
    for path in tree_files(".py"):
        modules.add(os.path.splitext(os.path.basename(path))[0])
        modules.add(os.path.basename(os.path.dirname(path)))
    targets = set()
    for path in tree_files("CMakeLists.txt", ".cmake"):
        with open(path) as f:
            text = f.read()
        targets.update(re.findall(r"add_(?:executable|library)\(\s*([\w.+-]+)", text))
        targets.update(re.findall(r"OUTPUT_NAME\s+([\w.+-]+)", text))
    return modules, targets


# --- Python ---------------------------------------------------------------

def python_sources():
    for path in tree_files(".py", ".in"):
        with open(path, encoding="utf-8", errors="replace") as f:
            text = f.read()
        if not path.endswith(".in") or "import " in text:
            yield text
    for block in readme_blocks("python"):
        yield block


def python_imports(modules_of_tree):
    found = set()
    for text in python_sources():
        try:
            tree = ast.parse(re.sub(r"@\w+@", "x", text))
        except SyntaxError:
            continue
        optional = set()
        for node in ast.walk(tree):
            # "try: import a / except ImportError: import b" names alternatives
            # for another interpreter; the first one is what Python 3 takes.
            if isinstance(node, ast.Try) and any(
                    isinstance(h.type, ast.Name) and h.type.id == "ImportError" for h in node.handlers):
                for handler in node.handlers:
                    optional.update(id(n) for n in ast.walk(handler))
        for node in ast.walk(tree):
            if id(node) in optional:
                continue
            if isinstance(node, ast.Import):
                names = [alias.name for alias in node.names]
            elif isinstance(node, ast.ImportFrom) and node.level == 0 and node.module:
                names = [node.module]
            else:
                continue
            for name in names:
                top = name.split(".")[0]
                if top not in sys.stdlib_module_names and top not in modules_of_tree and top != "__future__":
                    found.add(name if top in ("sensor_msgs", "tf2_msgs", "diagnostic_msgs") else top)
    return found


def python_programs():
    found = set()
    for path in tree_files(".py"):
        with open(path, encoding="utf-8", errors="replace") as f:
            try:
                tree = ast.parse(f.read())
            except SyntaxError:
                continue
        for node in ast.walk(tree):
            if not isinstance(node, ast.Call):
                continue
            func = node.func
            name = func.attr if isinstance(func, ast.Attribute) else getattr(func, "id", "")
            if name not in SUBPROCESS_CALLS or not node.args:
                continue
            first = node.args[0]
            if isinstance(first, ast.BinOp):
                first = first.left
            if isinstance(first, (ast.List, ast.Tuple)) and first.elts:
                first = first.elts[0]
            if isinstance(first, ast.Constant) and isinstance(first.value, str) and PROGRAM_NAME.match(first.value):
                found.add(first.value)
    return found


# --- Shell ----------------------------------------------------------------

def strip_shell(text):
    """Drops heredoc bodies, comments and the contents of quoted strings."""
    out, heredoc_end = [], None
    for line in text.split("\n"):
        if heredoc_end is not None:
            if line.strip() == heredoc_end:
                heredoc_end = None
            continue
        match = re.search(r"<<-?\s*['\"]?(\w+)['\"]?", line)
        if match:
            heredoc_end = match.group(1)
        out.append(line)
    # A stack of contexts: a command substitution inside double quotes is code.
    text, kept, stack, i = "\n".join(out), [], ["code"], 0
    while i < len(text):
        c, pair = text[i], text[i:i + 2]
        if stack[-1] == '"':
            if c == "\\":
                i += 1
            elif c == '"':
                stack.pop()
                kept.append(c)
            elif pair == "$(":
                stack.append("code")
                kept.append(pair)
                i += 1
        elif c == "'":
            end = text.find("'", i + 1)
            kept.append("''")
            i = len(text) if end < 0 else end
        elif c == '"':
            stack.append('"')
            kept.append(c)
        elif c == "\\":
            kept.append(" " if text[i + 1:i + 2] == "\n" else pair)
            i += 1
        elif c == "#" and (i == 0 or text[i - 1] in " \t\n;"):
            while i < len(text) and text[i] != "\n":
                i += 1
            continue
        elif pair == "$(":
            stack.append("code")
            kept.append(pair)
            i += 1
        else:
            if c == "(":
                stack.append("(")
            elif c == ")" and len(stack) > 1:
                stack.pop()
            kept.append(c)
        i += 1
    return "".join(kept)


def shell_commands(text):
    text = strip_shell(text)
    functions = set(re.findall(r"^\s*(?:function\s+)?([\w-]+)\s*\(\)", text, re.M))
    # Compilers named in the environment of a command are run too.
    found = set(re.findall(r"\b(?:CC|CXX)=([\w.+-]+)", text))
    text = re.sub(r"\w+\+?=\([^)]*\)", "", text)  # array literals
    # Arithmetic: only the command substitutions inside it run anything.
    text = re.sub(r"\(\((?:[^()]|\([^()]*\))*\)\)",
                  lambda m: "; ".join(re.findall(r"\$\([^()]*\)", m.group(0))), text)
    # A program looked for with "command -v" first is optional.
    optional = set(re.findall(r"command -v ([\w.+-]+)", text))
    for segment in re.split(r"\n|;|&&|\|\||\||\$\(|`|\(|\)|\{|\}", text):
        words = segment.split()
        while words and (re.match(r"^\w+=", words[0]) or words[0] in COMMAND_PREFIXES or words[0].startswith("-")):
            if words.pop(0) == "timeout" and words:
                words.pop(0)  # the duration
        if not words:
            continue
        word = words[0]
        if PROGRAM_NAME.match(word) and word not in SHELL_WORDS | functions | optional:
            found.add(word)
    return found


def readme_blocks(tags):
    """The README's and the docs' fenced blocks of the given languages."""
    for path in tree_files(".md"):
        with open(path) as f:
            for block in re.findall(r"^```(?:%s)\n(.*?)^```" % tags, f.read(), re.S | re.M):
                yield block


def shell_programs():
    found = set()
    for path in shell_scripts():
        with open(path) as f:
            found |= shell_commands(f.read())
    for block in readme_blocks("sh|bash"):
        found |= shell_commands(block)
    return found


# --- CMake ----------------------------------------------------------------

def cmake_dependencies(targets):
    packages, pkg_modules, libraries = set(), set(), set()
    for path in tree_files("CMakeLists.txt", ".cmake"):
        with open(path) as f:
            text = re.sub(r"#.*", "", f.read())
        packages.update(re.findall(r"find_package\(\s*(\w+)", text))
        for args in re.findall(r"pkg_check_modules\(\s*\w+([^)]*)\)", text):
            pkg_modules.update(w for w in args.split() if not w.isupper())
        for args in re.findall(r"find_library\(\s*\w+\s+([^)]*)\)", text):
            words = [w for w in args.split() if not w.isupper() and not w.startswith("$")]
            if words and words[0] not in targets:
                libraries.add(words[0])
    packages.discard("VelmoraDepthCamera")
    return packages, pkg_modules, libraries


def cmake_programs():
    """Compilers of the toolchain files and the programs CMake must find."""
    found = set()
    for path in tree_files("CMakeLists.txt", ".cmake"):
        with open(path) as f:
            text = re.sub(r"#.*", "", f.read())
        for name, value in re.findall(r"set\(\s*(\w+)\s+([\w.+-]+)\s*\)", text):
            text = text.replace("${%s}" % name, value)
        found.update(re.findall(r"set\(\s*CMAKE_(?:C|CXX)_COMPILER\s+([\w.+-]+)\s*\)", text))
        for args in re.findall(r"find_program\(\s*\w+\s+([^)]*\bREQUIRED\b[^)]*)\)", text):
            words = [w for w in args.split() if not w.isupper() and not w.startswith("$")]
            found.update(words[:1])
    return found


def dependencies():
    modules, targets = own_names()
    programs = shell_programs() | python_programs() | cmake_programs()
    programs = {p for p in programs if p not in targets and not p.startswith("velmora") and p not in modules}
    packages, pkg_modules, libraries = cmake_dependencies(targets)
    deps = [("python", m) for m in python_imports(modules)]
    deps += [("program", p) for p in programs]
    deps += [("cmake-package", p) for p in packages]
    deps += [("pkg-config", m) for m in pkg_modules]
    deps += [("library", lib) for lib in libraries]
    return sorted(deps)


# --- Checking ---------------------------------------------------------------

def check_python(names):
    missing = []
    for name in names:
        result = subprocess.run(["/usr/bin/python3", "-c", "import " + name],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if result.returncode != 0:
            missing.append(name)
    return missing


def check_cmake(packages, libraries):
    """One scratch project asks CMake for every package and library."""
    if not shutil.which("cmake"):
        return list(packages) + list(libraries)
    lines = ["cmake_minimum_required(VERSION 3.16)", "project(probe CXX)"]
    for p in packages:
        lines.append("find_package(%s QUIET)\nif(%s_FOUND)\nmessage(STATUS \"found %s\")\nendif()" % (p, p, p))
    for lib in libraries:
        lines.append("find_library(L_%s %s)\nif(L_%s)\nmessage(STATUS \"found %s\")\nendif()" % (lib, lib, lib, lib))
    with tempfile.TemporaryDirectory() as work:
        with open(os.path.join(work, "CMakeLists.txt"), "w") as f:
            f.write("\n".join(lines) + "\n")
        out = subprocess.run(["cmake", "-S", work, "-B", os.path.join(work, "b")], stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, universal_newlines=True).stdout
    found = set(re.findall(r"-- found (\S+)", out))
    return [n for n in list(packages) + list(libraries) if n not in found]


def configure_project(options):
    with tempfile.TemporaryDirectory() as work:
        result = subprocess.run(["cmake", "-S", ROOT, "-B", work] + options, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, universal_newlines=True)
    if result.returncode != 0:
        sys.stdout.write(result.stdout[-3000:])
    return result.returncode == 0


def check(options):
    deps = dependencies()
    by_kind = {}
    for kind, name in deps:
        by_kind.setdefault(kind, []).append(name)
    missing = [("python", n) for n in check_python(by_kind.get("python", []))]
    missing += [("program", n) for n in by_kind.get("program", []) if not shutil.which(n)]
    missing += [("pkg-config", n) for n in by_kind.get("pkg-config", [])
                if not shutil.which("pkg-config")
                or subprocess.run(["pkg-config", "--exists", n]).returncode != 0]
    for name in check_cmake(by_kind.get("cmake-package", []), by_kind.get("library", [])):
        missing.append(("cmake-package" if name in by_kind.get("cmake-package", []) else "library", name))
    checked = len(deps) + 1
    if not configure_project(options):
        missing.append(("cmake-configure", " ".join(options)))
    for kind, name in sorted(missing):
        print("missing %s: %s" % (kind, name))
    print("fresh root: %d dependencies checked, %d missing" % (checked, len(missing)))
    return 1 if missing else 0


def main(argv):
    if len(argv) >= 2 and argv[1] == "list":
        for kind, name in dependencies():
            print(kind, name)
        return 0
    if len(argv) >= 2 and argv[1] == "check":
        options = argv[3:] if len(argv) > 2 and argv[2] == "--" else argv[2:]
        return check(options)
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
