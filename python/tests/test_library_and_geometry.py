"""Where the package looks for the libraries, and the conversions every
frame goes through."""
import os

import numpy as np
import pytest

from vorlan import _library
from vorlan.frame import REFLECTIVITY_PERCENT, image_points_to_metres


@pytest.mark.parametrize("environ, bundled, installed, expected", [
    # A build tree named in the environment is the only place tried.
    ({"VORLAN_LIBRARY_PATH": "/opt/build"}, "/w/_libs", "/usr/lib",
     ["/opt/build/libvorlan_sdk.so.1", "/opt/build/libvorlan_sdk.so"]),
    # A wheel's own copies come before an installed tree and the system.
    ({}, "/w/_libs", "/usr/lib",
     ["/w/_libs/libvorlan_sdk.so.1", "/w/_libs/libvorlan_sdk.so", "/usr/lib/libvorlan_sdk.so.1",
      "/usr/lib/libvorlan_sdk.so", "libvorlan_sdk.so.1", "libvorlan_sdk.so"]),
    ({"VORLAN_LIBRARY_PATH": ""}, None, None, None),
])
def test_library_search_order(environ, bundled, installed, expected, monkeypatch):
    if bundled is None:
        # A source tree: nothing bundled and nothing installed beside it.
        monkeypatch.setattr(_library, "_bundled_dir", lambda: None)
        monkeypatch.setattr(_library, "_installed_dir", lambda: None)
        expected = ["libvorlan_sdk.so.1", "libvorlan_sdk.so"]
    assert _library.candidates("vorlan_sdk", environ, bundled, installed) == expected


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
