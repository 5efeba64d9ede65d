"""What udev would do with a rules file on a prepared sysfs tree: which device
nodes a rule matches and what it assigns to them.

Only the part of the rule language that the project's rules use is evaluated:
the match keys ACTION, SUBSYSTEM, KERNEL and ATTR{file} with == and !=, values
as shell globs with "|" between alternatives (fnmatch, as udev uses), and the
assignments GROUP, MODE and OWNER. A rule with any other key is refused rather
than guessed at.

A tree holds class/<subsystem>/<kernel name>/ directories whose files are the
device's attributes, as sysfs shows them under /sys/class."""

import fnmatch
import io
import os

import udev_syntax

MATCH_KEYS = ("ACTION", "SUBSYSTEM", "KERNEL", "ATTR")
ASSIGN_KEYS = ("GROUP", "MODE", "OWNER")


class Unsupported(ValueError):
    pass


def write_tree(root, devices):
    """Creates a tree under ``root`` from (subsystem, kernel name, {attribute: text})."""
    for subsystem, kernel, attributes in devices:
        directory = os.path.join(root, "class", subsystem, kernel)
        os.makedirs(directory)
        for name, text in attributes.items():
            with io.open(os.path.join(directory, name), "w", encoding="utf-8") as handle:
                handle.write(text + u"\n")


def devices(root):
    """(subsystem, kernel name, directory) of every device in the tree."""
    found = []
    classes = os.path.join(root, "class")
    for subsystem in sorted(os.listdir(classes)):
        for kernel in sorted(os.listdir(os.path.join(classes, subsystem))):
            found.append((subsystem, kernel, os.path.join(classes, subsystem, kernel)))
    return found


def _glob_matches(pattern, value):
    return any(fnmatch.fnmatchcase(value, alternative) for alternative in pattern.split("|"))


def _attribute(directory, name, pattern):
    path = os.path.join(directory, name)
    if "/" in name or not os.path.isfile(path):
        return None
    with io.open(path, encoding="utf-8") as handle:
        value = handle.read()
    # udev drops trailing blanks of an attribute unless the pattern ends in one.
    return value if pattern[-1:].isspace() else value.rstrip()


def _rule_matches(rule, action, subsystem, kernel, directory):
    for key, argument, op, value in rule:
        if key not in MATCH_KEYS:
            continue
        if key == "ACTION":
            actual = action
        elif key == "SUBSYSTEM":
            actual = subsystem
        elif key == "KERNEL":
            actual = kernel
        else:
            actual = _attribute(directory, argument, value)
        matched = actual is not None and _glob_matches(value, actual)
        if matched != (op == "=="):
            return False
    return True


def parse(text):
    """The rules of a file; raises Unsupported for keys this matcher does not
    evaluate and ValueError for syntax errors."""
    errors = udev_syntax.check_text(text)
    if errors:
        raise ValueError("; ".join(errors))
    parsed = udev_syntax.rules(text)
    for rule in parsed:
        for key, _, op, _ in rule:
            if key in MATCH_KEYS and op in ("==", "!="):
                continue
            if key in ASSIGN_KEYS and op in ("=", ":="):
                continue
            raise Unsupported("key %s with %s is not evaluated here" % (key, op))
    return parsed


def apply(text, root, action="add"):
    """{(subsystem, kernel name): {key: value}} for every device of the tree
    that the rules assign something to."""
    rules = parse(text)
    result = {}
    for subsystem, kernel, directory in devices(root):
        assigned, final = {}, set()
        for rule in rules:
            if not _rule_matches(rule, action, subsystem, kernel, directory):
                continue
            for key, _, op, value in rule:
                if key in ASSIGN_KEYS and key not in final:
                    assigned[key] = value
                    if op == ":=":
                        final.add(key)
        if assigned:
            result[(subsystem, kernel)] = assigned
    return result
