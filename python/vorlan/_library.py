"""Finds and loads the two shared libraries.

Where they are looked for, in order: the directory named by the environment
variable VORLAN_LIBRARY_PATH (a build tree, for development), the _libs
folder inside the package (a wheel carries both libraries there), the
directory `make install` put them in beside the package, then the system's
search path.
"""
import ctypes
import os

_NAMES = {
    "vorlan_sdk": ("libvorlan_sdk.so.1", "libvorlan_sdk.so"),
    "vorlan_sdk2": ("libvorlan_sdk2.so.23", "libvorlan_sdk2.so"),
}

_loaded = {}


def _bundled_dir():
    folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "_libs")
    return folder if os.path.isdir(folder) else None


def _installed_dir():
    try:
        from . import _install_location
    except ImportError:  # a source tree or a wheel: `make install` wrote nothing
        return None
    return os.path.normpath(os.path.join(os.path.dirname(__file__), _install_location.LIBRARY_DIR))


def candidates(name, environ=None, bundled=None, installed=None):
    """The paths tried for library `name`, first choice first. `bundled` and
    `installed` stand in for the package's own folders (None: look)."""
    environ = os.environ if environ is None else environ
    files = _NAMES[name]
    override = environ.get("VORLAN_LIBRARY_PATH")
    if override:
        # An explicit directory is the only one tried: a build tree must not
        # quietly fall back to an older installed copy.
        return [os.path.join(override, f) for f in files]
    paths = []
    for folder in (bundled or _bundled_dir(), installed or _installed_dir()):
        if folder:
            paths += [os.path.join(folder, f) for f in files]
    return paths + list(files)


def load(name):
    """The ctypes handle of library `name` ("vorlan_sdk" or "vorlan_sdk2")."""
    if name in _loaded:
        return _loaded[name]
    tried = []
    for path in candidates(name):
        if os.sep in path and not os.path.exists(path):
            tried.append(path + " (missing)")
            continue
        try:
            library = ctypes.CDLL(path)
        except OSError as error:
            tried.append("%s (%s)" % (path, error))
            continue
        _loaded[name] = library
        return library
    raise OSError("cannot load %s; tried: %s. Install the package with pip (its wheel carries both libraries), "
                  "or set VORLAN_LIBRARY_PATH to the folder that holds them" % (name, "; ".join(tried)))
