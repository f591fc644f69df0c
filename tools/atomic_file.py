"""Publishing a file so that a reader (the update site, a launcher fetching it) never sees half of it."""

import os
import tempfile


def write_atomically(path, data):
    """Written beside the target and renamed into place, so a reader never sees half a file."""
    directory = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(prefix=".up-", suffix=".tmp", dir=directory)
    try:
        with os.fdopen(handle, "wb") as stream:
            stream.write(data)
            # On the disk before the name is: a machine that stops after the rename still has the whole file.
            stream.flush()
            os.fsync(stream.fileno())
        os.chmod(temporary, 0o644)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise
