"""Builds the package with both libraries inside it, in vorlan/_libs, next to
each other: the second library loads the first from its own folder for
legacy translation.

The libraries come from a build tree: $VORLAN_LIBRARY_PATH when set, else
the build folder of the source tree (`make` before `pip install ./python`).
Everything else is in pyproject.toml.
"""
import os
import shutil

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution

LIBRARIES = ("libvorlan_sdk.so.1", "libvorlan_sdk2.so.23")
HERE = os.path.dirname(os.path.abspath(__file__))


def library_folder():
    return os.path.abspath(os.environ.get("VORLAN_LIBRARY_PATH") or os.path.join(HERE, "..", "build"))


class BuildWithLibraries(build_py):
    def run(self):
        super().run()
        source = library_folder()
        missing = [name for name in LIBRARIES if not os.path.isfile(os.path.join(source, name))]
        if missing:
            raise SystemExit("vorlan: %s not found in %s: build the libraries first (make), or set "
                             "VORLAN_LIBRARY_PATH to the folder that holds them" % (" and ".join(missing), source))
        target = os.path.join(self.build_lib, "vorlan", "_libs")
        os.makedirs(target, exist_ok=True)
        for name in LIBRARIES:
            # The versioned links of a build tree are followed: the wheel
            # holds the files under their SONAMEs.
            shutil.copyfile(os.path.join(source, name), os.path.join(target, name))
            os.chmod(os.path.join(target, name), 0o755)


class BinaryDistribution(Distribution):
    """The wheel carries machine code, so it is tagged for this platform."""

    def has_ext_modules(self):
        return True


setup(cmdclass={"build_py": BuildWithLibraries}, distclass=BinaryDistribution)
