"""Where the package looks for the libraries, and the conversions every
frame goes through."""
import os

import numpy as np
import pytest

from vorlan import _library
from vorlan.frame import REFLECTIVITY_PERCENT, image_points_to_metres


@pytest.mark.parametrize("environ, first, only_override", [
    ({"VORLAN_LIBRARY_PATH": "/opt/build"}, "/opt/build/libvorlan_sdk.so.1", True),
    ({}, "libvorlan_sdk.so.1", False),
])
def test_library_search_order(environ, first, only_override):
    paths = _library.candidates("vorlan_sdk", environ)
    assert paths[0] == first
    assert all(p.startswith("/opt/build/") for p in paths) == only_override
    assert "libvorlan_sdk.so" in paths[-1]


def test_the_environment_names_the_fresh_build():
    # CTest points the package at the libraries it just built, never at an
    # installed copy.
    directory = os.environ.get("VORLAN_LIBRARY_PATH")
    assert directory and os.path.exists(os.path.join(directory, "libvorlan_sdk.so.1"))
    assert os.path.exists(os.path.join(directory, "libvorlan_sdk2.so.23"))


@pytest.mark.parametrize("u, w, r, expected", [
    (0.0, 0.0, 10.0, (0.0, 10.0, 0.0)),
    (1.0, 0.0, np.sqrt(2.0), (-1.0, 1.0, 0.0)),
    (0.0, -1.0, 2 * np.sqrt(2.0), (0.0, 2.0, 2.0)),
    (0.5, 0.5, 0.0, (0.0, 0.0, 0.0)),
])
def test_image_points_to_metres(u, w, r, expected):
    x, y, z = image_points_to_metres(np.array([u], np.float32), np.array([w], np.float32), np.array([r], np.float32))
    np.testing.assert_allclose([x[0], y[0], z[0]], expected, atol=1e-6)


@pytest.mark.parametrize("code, percent", [(0, 0.0), (127, 127.0), (128, 130.7), (254, 4858.6), (255, 5000.0)])
def test_reflectivity_codes(code, percent):
    assert REFLECTIVITY_PERCENT[code] == pytest.approx(percent, abs=0.05)
