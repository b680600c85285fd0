"""What an open library session of either kind shares: one at a time in a
process, and closed when it leaves a `with` block or is dropped."""
from .errors import VorlanError


class Session:
    """A base for the sessions of one library: __init__ takes the library's
    process-wide `lock` (raising when another session holds it); the subclass
    defines close(), which ends in _release()."""

    def __init__(self, lock, name):
        self._lock = lock
        self._holds_lock = lock.acquire(blocking=False)
        if not self._holds_lock:
            raise VorlanError(-9, "VORLAN_ERROR_ALREADY_INITIALIZED", "another %s is open in this process" % name)

    def _release(self):
        if self._holds_lock:
            self._holds_lock = False
            self._lock.release()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        # The library must not call back into callback objects that are
        # about to be freed: a session dropped without close() stops it first.
        if getattr(self, "_holds_lock", False):
            try:
                self.close()
            except Exception:
                pass
