"""Finding the Python files and notebooks a person means under the paths they name.

A path named on the command line is always taken. Below a named directory the walk leaves out:
- by default, directories that hold a virtual environment (a pyvenv.cfg), hidden directories and
  the usual tool output: site-packages, __pycache__, build, dist, node_modules, .tox, .nox;
- inside a git work tree, what its .gitignore files ignore (read by pathspec, with git's rules:
  patterns relative to the file's directory, the deeper file and the later pattern win);
- what the exclude patterns match: gitignore-style patterns relative to the named directory (from
  the command line) or to the pyproject.toml that set them.
A rule that ignores the named directory itself or one of its parents does not apply below it: a
person who names a directory that a .gitignore leaves out still means that directory.

Directory links are not followed (so a link loop cannot trap the walk), and a file reached twice
(overlapping paths, links) is taken once.
"""

from __future__ import annotations

import os
import stat
from dataclasses import dataclass, field
from typing import Sequence

import pathspec

from klavrix.cli.source import os_message

SOURCE_SUFFIXES = (".py", ".ipynb")
DEFAULT_EXCLUDED_DIRECTORIES = frozenset({"site-packages", "__pycache__", "build", "dist", "node_modules",
                                          ".tox", ".nox"})
VENV_MARKER = "pyvenv.cfg"


@dataclass(frozen=True, slots=True)
class PathProblem:
    path: str
    message: str


@dataclass(slots=True)
class Found:
    files: list[str] = field(default_factory=list)
    problems: list[PathProblem] = field(default_factory=list)
    empty: list[str] = field(default_factory=list)  # named directories without a source file
    unmatched_excludes: list[str] = field(default_factory=list)  # command-line patterns that matched nothing


@dataclass(frozen=True, slots=True)
class _Rules:
    """Patterns of one ignore file (or exclude list) and where they apply: an entry's path
    relative to the named directory, `relative`, becomes `prefix + relative[cut:]` relative to the
    rules' own directory; entries outside it are not tested."""

    spec: pathspec.GitIgnoreSpec
    prefix: str  # the named directory relative to the rules' directory, with "/" ("" when inside)
    inside: str  # the rules' directory relative to the named directory, with "/" ("" when above)

    def decide(self, relative: str) -> bool | None:
        """True: ignored; False: re-included by a "!" pattern; None: no pattern matches."""
        if not relative.startswith(self.inside):
            return None
        return self.spec.check_file(self.prefix + relative[len(self.inside):]).include


def find_source_files(paths: Sequence[str], exclude: Sequence[str] = (), *, default_excludes: bool = True,
                      gitignore: bool = True, config_exclude: Sequence[str] = (),
                      config_directory: str | None = None) -> Found:
    """The .py and .ipynb files under `paths`, in order (directories sorted), with the paths that
    failed, the named directories that held no source file, and the `exclude` patterns that
    matched nothing."""
    found = Found()
    seen: set[str] = set()
    patterns = [pathspec.GitIgnoreSpec.from_lines([line]) for line in exclude]
    matched = [False] * len(patterns)

    def take(path: str) -> None:
        key = os.path.realpath(path)
        if key not in seen:
            seen.add(key)
            found.files.append(path)

    for path in paths:
        try:
            info = os.stat(path)  # follows links: a link loop fails here
        except OSError as error:
            found.problems.append(PathProblem(path, os_message(error)))
            continue
        if not stat.S_ISDIR(info.st_mode):
            take(path)
            continue
        before = len(found.files)
        rules = _outer_rules(path, gitignore, config_exclude, config_directory)
        for file in _walk(path, rules, patterns, matched, default_excludes, gitignore, found.problems):
            take(file)
        if len(found.files) == before:
            found.empty.append(path)
    found.unmatched_excludes = [line for line, hit in zip(exclude, matched) if not hit]
    return found


def _walk(root: str, outer: list[_Rules], patterns: list[pathspec.GitIgnoreSpec], matched: list[bool],
          default_excludes: bool, gitignore: bool, problems: list[PathProblem]):
    rules_of: dict[str, list[_Rules]] = {"": outer}

    def walk_error(error: OSError) -> None:
        problems.append(PathProblem(error.filename or root, os_message(error)))

    def left_out(rules: list[_Rules], relative: str) -> bool:
        decision = None
        for rule in rules:
            if (verdict := rule.decide(relative)) is not None:
                decision = verdict
        if decision:
            return True
        for index, pattern in enumerate(patterns):  # each one tested, so that its use is seen
            if pattern.match_file(relative):
                matched[index] = True
                decision = True
        return bool(decision)

    for directory, subdirs, names in os.walk(root, onerror=walk_error):
        relative = os.path.relpath(directory, root)
        relative = "" if relative == "." else relative + "/"
        rules = rules_of.pop(relative, outer)
        if relative and default_excludes and VENV_MARKER in names:
            subdirs[:] = []
            continue
        if relative and gitignore and ".gitignore" in names:
            spec = _read_ignore_file(os.path.join(directory, ".gitignore"))
            if spec is not None:
                rules = [*rules, _Rules(spec, "", relative)]
        kept = []
        for name in sorted(subdirs):
            if default_excludes and (name.startswith(".") or name in DEFAULT_EXCLUDED_DIRECTORIES):
                continue
            if not left_out(rules, f"{relative}{name}/"):
                kept.append(name)
                rules_of[f"{relative}{name}/"] = rules
        subdirs[:] = kept
        for name in sorted(names):
            if name.endswith(SOURCE_SUFFIXES) and not left_out(rules, relative + name):
                yield os.path.join(directory, name)


def _outer_rules(root: str, gitignore: bool, config_exclude: Sequence[str],
                 config_directory: str | None) -> list[_Rules]:
    """The rules that reach into `root` from it and from above, outermost first, less the
    patterns that ignore `root` itself or one of its parents."""
    absolute = os.path.abspath(root)
    sources: list[tuple[str, pathspec.GitIgnoreSpec]] = []
    if gitignore and (top := _work_tree(absolute)) is not None:
        directory = top
        chain = [top]
        for part in os.path.relpath(absolute, top).split(os.sep):
            if part != ".":
                directory = os.path.join(directory, part)
                chain.append(directory)
        for directory in chain:
            spec = _read_ignore_file(os.path.join(directory, ".gitignore"))
            if spec is not None:
                sources.append((directory, spec))
    if config_exclude and config_directory is not None:
        sources.append((os.path.abspath(config_directory), pathspec.GitIgnoreSpec.from_lines(config_exclude)))

    rules = []
    for directory, spec in sources:
        relative = os.path.relpath(absolute, directory)
        if relative == ".":
            rules.append(_Rules(spec, "", ""))
        elif relative.startswith(".."):  # rules of a directory below `root`
            rules.append(_Rules(spec, "", os.path.relpath(directory, absolute).replace(os.sep, "/") + "/"))
        else:
            prefix = relative.replace(os.sep, "/") + "/"
            kept = [p for p in spec.patterns if not (p.include and p.match_file(prefix))]
            rules.append(_Rules(pathspec.GitIgnoreSpec(kept), prefix, ""))
    return rules


def _work_tree(directory: str) -> str | None:
    """The top of the git work tree that holds `directory`, or None."""
    while True:
        if os.path.exists(os.path.join(directory, ".git")):
            return directory
        parent = os.path.dirname(directory)
        if parent == directory:
            return None
        directory = parent


def _read_ignore_file(path: str) -> pathspec.GitIgnoreSpec | None:
    try:
        with open(path, encoding="utf-8", errors="surrogateescape") as file:
            return pathspec.GitIgnoreSpec.from_lines(file)
    except OSError:  # none there, or unreadable: nothing is ignored by it
        return None
