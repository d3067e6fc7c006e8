"""`klavrix probe`: the host capability record, and what a worker pool should size to here."""

from __future__ import annotations

import argparse
import os
import sys

from klavrix.cli import COMMANDS, limits, output

DESCRIPTION = """\
Print the host capability record (cores, NUMA nodes, GPU back-ends, interpreter) and, beside the
cores of the affinity mask, the container limits that a worker pool is really held to: the
cgroup CPU quota (cpu.max, or cpu.cfs_quota_us / cpu.cfs_period_us) and memory limit. The pool
size is the affinity mask's CPU count cut to the CPU quota rounded up.
"""


def register(subparsers) -> None:
    parser = subparsers.add_parser("probe", help=COMMANDS["probe"],
                                   description=DESCRIPTION,
                                   formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--json", action="store_true", help="print one JSON document")
    parser.set_defaults(run=run, parser=parser)


def pool_limits() -> dict:
    cgroup = limits.read_cgroup_limits()
    affinity = limits.affinity_cpus()
    return {
        "affinity_cpus": affinity,
        "host_logical_cpus": os.cpu_count(),
        "host_physical_cores": limits.host_physical_cores(),
        "cgroup_version": cgroup.version,
        "cpu_quota": cgroup.cpu_quota,
        "memory_limit_bytes": cgroup.memory_limit,
        "host_memory_bytes": limits.host_memory(),
        "pool_size": limits.pool_size(affinity, cgroup),
    }


def gpu_text(record: dict) -> str:
    if not record["has_gpu"]:
        return "none"
    backends = [name for name in ("cuda", "rocm", "oneapi") if record[f"{name}_available"]]
    memory = f", {output.human_bytes(record['gpu_memory_mb'] << 20)}" if record["gpu_memory_mb"] > 0 else ""
    version = f" {record['backend_version']}" if record["backend_version"] else ""
    others = f" (available: {', '.join(backends)})" if backends else ""
    return f"{record['gpu_count']} x {record['active_backend']}{version}{memory}{others}"


def run(args: argparse.Namespace) -> int:
    from klavrix.native import hostprobe

    record = hostprobe.detect_capabilities()
    pool = pool_limits()
    if args.json:
        import json

        sys.stdout.write(json.dumps({"capabilities": record, "limits": pool}))
        sys.stdout.write("\n")
        return 0
    detector = f"{record['detector']} ({record['detection_time_ms']:.2f} ms)"
    if "error" in record:
        detector += f", detection failed: {record['error']}"
    write = sys.stdout.write
    # The record's core count is that of the affinity mask (a taskset or a container's cpuset
    # narrows it); the host's own cores are counted beside it.
    physical, logical = pool["host_physical_cores"], pool["host_logical_cpus"]
    host_cores = ", ".join(text for text in (physical and output.plural(physical, "physical core"),
                                             logical and output.plural(logical, "logical CPU")) if text)
    write("Host\n")
    write(output.key_values([
        ("cores (affinity mask)", record["physical_cores"]),
        ("host cores", host_cores or "unknown"),
        ("NUMA nodes", record["numa_nodes"]),
        ("GPU", gpu_text(record)),
        ("Python", f"{record['python_version']}, sub-interpreters: "
                   f"{'yes' if record['subinterpreter_support'] else 'no'}"),
        ("platform", record["platform"]),
        ("detector", detector),
    ]))
    quota = pool["cpu_quota"]
    memory_limit = pool["memory_limit_bytes"]
    host_memory = pool["host_memory_bytes"]
    write("Limits for a worker pool\n")
    write(output.key_values([
        ("CPUs in affinity mask", pool["affinity_cpus"]),
        ("cgroup", f"v{pool['cgroup_version']}" if pool["cgroup_version"] else "none"),
        ("CPU quota", "none" if quota is None else f"{quota:g} CPUs"),
        ("memory limit", "none" if memory_limit is None else output.bytes_with_count(memory_limit)),
        ("host memory", "unknown" if host_memory is None else output.human_bytes(host_memory)),
        ("pool size", pool["pool_size"]),
    ]))
    return 0
