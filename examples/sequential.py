"""Plain sequential code: a configuration reader, a log summary and a small state machine."""

import re

_registry = {}
_LINE = re.compile(r"^(?P<level>[A-Z]+) (?P<message>.*)$")


def parse_config(text):
    """Key = value lines into a dict; '#' starts a comment."""
    config = {}
    for line in text.splitlines():
        line = line.split("#", 1)[0].strip()
        if line:
            key, _, value = line.partition("=")
            config[key.strip()] = value.strip()
    return config


def summarize_log(lines):
    """Count the lines of each level and keep the first error message."""
    levels = {}
    first_error = None
    for line in lines:
        match = _LINE.match(line)
        if match is None:
            continue
        level = match["level"]
        levels[level] = levels.get(level, 0) + 1
        if level == "ERROR" and first_error is None:
            first_error = match["message"]
    return levels, first_error


def build_inverted_index(documents):
    """Word -> list of the documents it occurs in: one dict of lists, all held in memory."""
    index: dict[str, list[int]] = {}
    for number, text in enumerate(documents):
        for word in set(text.lower().split()):
            index.setdefault(word, []).append(number)
    return index


def multiply_blocked(a, b, block=32):
    """Product of two square matrices given as lists of rows, computed block by block so that
    each block of b is reused while it is still in the processor's cache."""
    n = len(a)
    c = [[0.0] * n for _ in range(n)]
    for ii in range(0, n, block):
        for kk in range(0, n, block):
            for i in range(ii, min(ii + block, n)):
                row, out = a[i], c[i]
                for k in range(kk, min(kk + block, n)):
                    aik, bk = row[k], b[k]
                    for j in range(n):
                        out[j] += aik * bk[j]
    return c


def register(name, handler):
    """Add a handler to the module registry; the order of registration is the call order."""
    global _registry
    if name in _registry:
        raise KeyError(f"{name} is already registered")
    _registry = {**_registry, name: handler}


def run_handlers(event):
    """Call the registered handlers one after the other, in order; each sees the previous result,
    so the steps have dependencies and must run sequentially."""
    global _registry
    result = event
    for name, handler in _registry.items():
        result = handler(result)
    return result


def next_state(state, symbol):
    """Transition of a tiny tokenizer state machine."""
    if state == "start":
        return "word" if symbol.isalpha() else "start"
    if state == "word":
        return "word" if symbol.isalnum() else "end"
    return "end"


def slugify(title):
    """Lower-case ASCII slug of a title."""
    words = re.findall(r"[a-z0-9]+", title.lower())
    return "-".join(words)


_applied = set()


def migrate_schema(migrations):
    """Bring the schema up to date: each migration after those it needs, one at a time."""
    global _schema_version
    ordered = sorted(migrations, key=lambda migration: migration.version)
    for migration in ordered:
        missing = set(migration.dependencies) - _applied
        if missing:
            raise RuntimeError(f"{migration.name} needs {sorted(missing)} first")
        migration.run()
        _applied.add(migration.name)
        _schema_version = migration.version
