"""The instruction-set selector that the kernels' dispatch shares."""

import pathlib
import platform

import pytest
from support import run_native


def processor_flags():
    """The feature flags that the kernel reports for the first processor (it
    leaves out those the operating system does not support)."""
    for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("flags"):
            return set(line.split(":", 1)[1].split())
    pytest.skip("/proc/cpuinfo lists no flags")


def test_selector_picks_the_widest_instruction_set_the_processor_has(tmp_path):
    if platform.machine() != "x86_64":
        expected = "baseline"
    else:
        flags = processor_flags()
        expected = "avx2" if {"avx", "avx2"} <= flags else "avx" if "avx" in flags else "baseline"
    out = run_native(tmp_path, "cpu_isa_probe.cpp", ["src/lib/cpu_features.cpp"])
    assert out.split() == [expected, expected]
