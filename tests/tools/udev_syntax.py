"""A syntax check of udev rules files, for hosts whose udevadm has no
``verify`` command: keys, operators, quoting, attribute arguments and the
values of MODE, OWNER and GROUP, with line numbers in every message."""

import re

MATCH_OPS = ("==", "!=")
ASSIGN_OPS = ("=", "+=", "-=", ":=")

# key: (takes an {argument}: True/False/None for optional, may match, may assign)
KEYS = {
    "ACTION": (False, True, False),
    "DEVPATH": (False, True, False),
    "KERNEL": (False, True, False),
    "KERNELS": (False, True, False),
    "SUBSYSTEM": (False, True, False),
    "SUBSYSTEMS": (False, True, False),
    "DRIVER": (False, True, False),
    "DRIVERS": (False, True, False),
    "NAME": (False, True, True),
    "SYMLINK": (False, True, True),
    "TAG": (False, True, True),
    "TAGS": (False, True, False),
    "ATTR": (True, True, True),
    "ATTRS": (True, True, False),
    "SYSCTL": (True, True, True),
    "ENV": (True, True, True),
    "CONST": (True, True, False),
    "TEST": (None, True, False),
    "PROGRAM": (False, True, True),
    "RESULT": (False, True, False),
    "OWNER": (False, False, True),
    "GROUP": (False, False, True),
    "MODE": (False, False, True),
    "SECLABEL": (True, False, True),
    "RUN": (None, False, True),
    "LABEL": (False, False, True),
    "GOTO": (False, False, True),
    "IMPORT": (True, True, True),
    "OPTIONS": (False, False, True),
}

_TOKEN = re.compile(r'\s*([A-Z]+)(?:\{([^{}"]*)\})?\s*(==|!=|\+=|-=|:=|=)\s*"((?:[^"\\]|\\.)*)"\s*(,|$)')
_NAME = re.compile(r"^[a-z_][a-z0-9_-]*\$?$|^[0-9]+$")


def check_rule(text):
    """Errors of one rule (a logical line), as a list of texts."""
    errors = []
    position = 0
    seen_any = False
    while position < len(text):
        match = _TOKEN.match(text, position)
        if not match:
            rest = text[position:].strip()
            if not rest:
                break
            errors.append("cannot parse at %r" % rest[:40])
            return errors
        key, argument, op, value, separator = match.groups()
        seen_any = True
        position = match.end()
        if key not in KEYS:
            errors.append("unknown key %s" % key)
            continue
        takes_argument, may_match, may_assign = KEYS[key]
        if takes_argument is True and argument is None:
            errors.append("%s needs an {argument}" % key)
        if takes_argument is False and argument is not None:
            errors.append("%s takes no {argument}" % key)
        if op in MATCH_OPS and not may_match:
            errors.append("%s cannot be matched (operator %s)" % (key, op))
        if op in ASSIGN_OPS and not may_assign:
            errors.append("%s is a match key, %s assigns" % (key, op))
        if key == "MODE" and not re.match(r"^0?[0-7]{3}$", value):
            errors.append("MODE %r is not an octal permission" % value)
        if key in ("OWNER", "GROUP") and not _NAME.match(value):
            errors.append("%s %r is not a user or group name" % (key, value))
        if separator == "," and not text[position:].strip():
            errors.append("trailing comma")
    if not seen_any:
        errors.append("empty rule")
    return errors


def check_text(text):
    """Errors of a whole rules file, each prefixed with its line number."""
    errors = []
    pending, start = "", 0
    for number, line in enumerate(text.split("\n"), 1):
        if not pending:
            start = number
        stripped = line.strip()
        if not pending and (not stripped or stripped.startswith("#")):
            continue
        if line.endswith("\\"):
            pending += line[:-1]
            continue
        rule, pending = pending + line, ""
        for error in check_rule(rule):
            errors.append("line %d: %s" % (start, error))
    if pending:
        errors.append("line %d: continuation at the end of the file" % start)
    return errors


def rules(text):
    """The rules of a file as lists of (key, argument, operator, value)."""
    parsed = []
    pending = ""
    for line in text.split("\n"):
        if not pending and (not line.strip() or line.strip().startswith("#")):
            continue
        if line.endswith("\\"):
            pending += line[:-1]
            continue
        rule, pending = pending + line, ""
        parsed.append([(m.group(1), m.group(2), m.group(3), m.group(4)) for m in _TOKEN.finditer(rule)])
    return parsed
