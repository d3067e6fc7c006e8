"""What a worker pool may really use in a container: the cgroup CPU quota and memory limit.

The affinity mask says which CPUs the process may run on; a container's CPU quota (cgroup v2
cpu.max, v1 cpu.cfs_quota_us / cpu.cfs_period_us) says how much CPU time it gets, which can be
far less. The process's cgroup is read from /proc/self/cgroup and found under the cgroup mounts of
/proc/self/mountinfo; every ancestor's limit applies too, so the tightest one along the path wins.
Hosts without these files (macOS, Windows) have no cgroup limits.
"""

from __future__ import annotations

import math
import os
import re
from dataclasses import dataclass

# cgroup v1 writes this page-aligned 2^63 - 1 (and similar huge values) for "no memory limit".
_UNLIMITED_V1 = 1 << 62


@dataclass(frozen=True, slots=True)
class CgroupLimits:
    version: int | None  # 1 or 2 (the version that holds the CPU controller), None without cgroups
    cpu_quota: float | None  # CPUs' worth of time per period, None when unlimited
    memory_limit: int | None  # bytes, None when unlimited


@dataclass(frozen=True, slots=True)
class _Mount:
    version: int
    root: str  # the cgroup path that the mount shows at its mount point
    mount_point: str
    controllers: frozenset[str]


def read_cgroup_limits(root: str = "/") -> CgroupLimits:
    """The limits of the calling process's cgroup; `root` lets tests point at a fake tree."""
    def host(path: str) -> str:
        return os.path.join(root, path.lstrip("/"))

    mounts = _mounts(_read(host("/proc/self/mountinfo")) or "")
    groups = _groups(_read(host("/proc/self/cgroup")) or "")
    if not mounts or not groups:
        return CgroupLimits(None, None, None)

    def directories(controller: str) -> tuple[int, list[str]] | None:
        """(version, the cgroup's directory and its ancestors up to the mount point) for the
        hierarchy that holds `controller`: a v1 hierarchy naming it, else the v2 one."""
        for mount in mounts:
            if mount.version == 1 and controller in mount.controllers and controller in groups:
                return 1, _ancestors(host(mount.mount_point), mount.root, groups[controller])
        for mount in mounts:
            if mount.version == 2 and "" in groups:
                return 2, _ancestors(host(mount.mount_point), mount.root, groups[""])
        return None

    version = None
    cpu_quota = None
    found = directories("cpu")
    if found is not None:
        version, chain = found
        quotas = [q for q in map(_cpu_quota_v1 if version == 1 else _cpu_quota_v2, chain) if q is not None]
        cpu_quota = min(quotas, default=None)
    memory_limit = None
    found = directories("memory")
    if found is not None:
        memory_version, chain = found
        version = version or memory_version
        reader = _memory_limit_v1 if memory_version == 1 else _memory_limit_v2
        memory_limit = min((m for m in map(reader, chain) if m is not None), default=None)
    return CgroupLimits(version, cpu_quota, memory_limit)


def pool_size(affinity_cpus: int, limits: CgroupLimits) -> int:
    """Workers worth starting: the affinity mask's CPUs, cut to the CPU quota rounded up (two
    workers can use up a quota of 1.5 CPUs; one could not)."""
    size = max(affinity_cpus, 1)
    if limits.cpu_quota is not None:
        size = min(size, max(1, math.ceil(limits.cpu_quota)))
    return size


def affinity_cpus() -> int:
    try:
        return len(os.sched_getaffinity(0)) or 1
    except (AttributeError, OSError):  # not Linux
        return os.cpu_count() or 1


def host_physical_cores(root: str = "/") -> int | None:
    """The host's physical cores, whatever this process may use: distinct (package, core) pairs
    of the CPUs the kernel lists (Linux); None where they cannot be read."""
    cpus = os.path.join(root, "sys/devices/system/cpu")
    cores = set()
    try:
        names = os.listdir(cpus)
    except OSError:
        return None
    for name in names:
        if not (name.startswith("cpu") and name[3:].isdigit()):
            continue
        topology = os.path.join(cpus, name, "topology")
        package = _number(_read(os.path.join(topology, "physical_package_id")))
        core = _number(_read(os.path.join(topology, "core_id")))
        if package is None or core is None:
            return None
        cores.add((package, core))
    return len(cores) or None


def host_memory() -> int | None:
    try:
        return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (AttributeError, ValueError, OSError):
        return None


# ---------------------------------------------------------------------------------------------
# /proc and cgroup files

def _read(path: str) -> str | None:
    try:
        with open(path, encoding="utf-8", errors="replace") as file:
            return file.read()
    except OSError:
        return None


_ESCAPE = re.compile(r"\\([0-7]{3})")


def _unescape(field: str) -> str:
    """mountinfo writes space, tab, newline and backslash in paths as octal escapes."""
    return _ESCAPE.sub(lambda m: chr(int(m.group(1), 8)), field)


def _mounts(mountinfo: str) -> list[_Mount]:
    mounts = []
    for line in mountinfo.splitlines():
        before, separator, after = line.partition(" - ")
        fields, described = before.split(), after.split()
        if not separator or len(fields) < 5 or len(described) < 3:
            continue
        fstype, options = described[0], described[2]
        if fstype == "cgroup2":
            mounts.append(_Mount(2, _unescape(fields[3]), _unescape(fields[4]), frozenset()))
        elif fstype == "cgroup":
            mounts.append(_Mount(1, _unescape(fields[3]), _unescape(fields[4]), frozenset(options.split(","))))
    return mounts


def _groups(cgroup: str) -> dict[str, str]:
    """Controller -> cgroup path; the v2 hierarchy under the key ""."""
    groups = {}
    for line in cgroup.splitlines():
        parts = line.split(":", 2)
        if len(parts) != 3:
            continue
        _, controllers, path = parts
        for controller in controllers.split(",") if controllers else [""]:
            groups[controller] = path
    return groups


def _ancestors(mount_point: str, mount_root: str, path: str) -> list[str]:
    """The cgroup's directory under the mount point and each parent up to the mount point. A path
    outside the mount's root (a container that sees the host's path) stands for the mount point."""
    relative = os.path.relpath(path, mount_root)
    if relative == "." or relative.startswith(".."):
        return [mount_point]
    parts = relative.split("/")
    chain = [os.path.join(mount_point, *parts[:depth]) for depth in range(len(parts), 0, -1)]
    return [*chain, mount_point]


def _number(text: str | None) -> int | None:
    try:
        return int(text.strip()) if text is not None else None
    except ValueError:
        return None


def _cpu_quota_v1(directory: str) -> float | None:
    quota = _number(_read(os.path.join(directory, "cpu.cfs_quota_us")))
    period = _number(_read(os.path.join(directory, "cpu.cfs_period_us")))
    if quota is None or period is None or quota <= 0 or period <= 0:
        return None
    return quota / period


def _cpu_quota_v2(directory: str) -> float | None:
    text = _read(os.path.join(directory, "cpu.max"))  # "max 100000" or "150000 100000"
    fields = text.split() if text else []
    if len(fields) != 2 or fields[0] == "max":
        return None
    quota, period = _number(fields[0]), _number(fields[1])
    if quota is None or period is None or quota <= 0 or period <= 0:
        return None
    return quota / period


def _memory_limit_v1(directory: str) -> int | None:
    limit = _number(_read(os.path.join(directory, "memory.limit_in_bytes")))
    return limit if limit is not None and 0 < limit < _UNLIMITED_V1 else None


def _memory_limit_v2(directory: str) -> int | None:
    limit = _number(_read(os.path.join(directory, "memory.max")))  # "max" reads as None
    return limit if limit is not None and limit > 0 else None
