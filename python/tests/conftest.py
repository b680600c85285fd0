"""Shared fixtures: the built `vorlan` tool (VORLAN_TOOL, set by CTest) and a
short simulated capture made with it."""
import os
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))


@pytest.fixture(scope="session")
def tool():
    path = os.environ.get("VORLAN_TOOL")
    if not path or not os.access(path, os.X_OK):
        pytest.fail("VORLAN_TOOL must name the built vorlan tool (CTest sets it)")
    return path


@pytest.fixture(scope="session")
def capture(tool, tmp_path_factory):
    """Two seconds of the four simulated sensors, the same bytes every run."""
    path = tmp_path_factory.mktemp("capture") / "sim.pcap"
    subprocess.run([tool, "sim", "--seed", "1", "--seconds", "2", "--out", str(path)], check=True,
                   stdout=subprocess.DEVNULL, timeout=60)
    return path


@pytest.fixture(scope="session")
def sample(tool, tmp_path_factory):
    """The sample capture of the README and `make demo`: ten seconds of the
    eight simulated sensors, four of each generation."""
    path = tmp_path_factory.mktemp("sample") / "sample.pcap"
    subprocess.run([tool, "sim", "--seed", "1", "--seconds", "10", "--out", str(path)], check=True,
                   stdout=subprocess.DEVNULL, timeout=120)
    return path
