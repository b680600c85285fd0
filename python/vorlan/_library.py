"""Finds and loads the two shared libraries.

Where they are looked for, in order: the directory named by the environment
variable VORLAN_LIBRARY_PATH (a build tree), the directory the package was
installed beside, then the system's search path.
"""
import ctypes
import os

_NAMES = {
    "vorlan_sdk": ("libvorlan_sdk.so.1", "libvorlan_sdk.so"),
    "vorlan_sdk2": ("libvorlan_sdk2.so.23", "libvorlan_sdk2.so"),
}

_loaded = {}


def _installed_dir():
    try:
        from . import _install_location
    except ImportError:  # a source tree: nothing was installed
        return None
    return os.path.normpath(os.path.join(os.path.dirname(__file__), _install_location.LIBRARY_DIR))


def candidates(name, environ=None):
    """The paths tried for library `name`, first choice first."""
    environ = os.environ if environ is None else environ
    files = _NAMES[name]
    paths = []
    override = environ.get("VORLAN_LIBRARY_PATH")
    if override:
        # An explicit directory is the only one tried: a build tree must not
        # quietly fall back to an older installed copy.
        return [os.path.join(override, f) for f in files]
    installed = _installed_dir()
    if installed:
        paths += [os.path.join(installed, f) for f in files]
    paths += list(files)
    return paths


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
    raise OSError("cannot load %s; tried: %s" % (name, "; ".join(tried)))
