"""Every Python example of the README's Python section runs as written, in a
folder that holds build/sample.pcap as `make demo` leaves it."""
import os
import re
import shutil
import socket
import subprocess
import sys

import pytest

import vorlan

README = os.path.join(os.path.dirname(__file__), "..", "..", "README.md")


def python_examples():
    with open(README, encoding="utf-8") as file:
        text = file.read()
    section = re.search(r"^## Python quick start\n(.*?)^## ", text, re.S | re.M).group(1)
    return re.findall(r"^```python\n(.*?)^```", section, re.S | re.M)


EXAMPLES = python_examples()


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.fixture(scope="module")
def folder(sample, tmp_path_factory):
    folder = tmp_path_factory.mktemp("readme")
    os.mkdir(folder / "build")
    shutil.copyfile(sample, folder / "build" / "sample.pcap")
    return folder


def test_the_section_has_its_examples():
    assert len(EXAMPLES) >= 5


@pytest.mark.parametrize("code", EXAMPLES, ids=["example %d" % n for n in range(1, len(EXAMPLES) + 1)])
def test_readme_example_runs_as_written(folder, code):
    # The live example listens on a port found free here instead of the
    # sensors' port, which may be taken on this machine.
    code = code.replace("8808", str(free_udp_port()))
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(os.path.abspath(vorlan.__file__))))
    if env.get("VORLAN_LIBRARY_PATH"):
        env["VORLAN_LIBRARY_PATH"] = os.path.abspath(env["VORLAN_LIBRARY_PATH"])
    run = subprocess.run([sys.executable, "-c", code], cwd=folder, env=env, capture_output=True, text=True,
                         timeout=180)
    assert run.returncode == 0, run.stdout + run.stderr
