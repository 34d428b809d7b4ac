"""Ports on loopback for the tests that start real servers (tests/servers/,
tests/milter/)."""

import socket
import time


def free_port():
    """A loopback port nobody listens on now."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, process=None, seconds=20):
    """Waits until something listens on `port`; raises RuntimeError when
    `process` exits first or nothing does within `seconds`."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if process is not None and process.poll() is not None:
            raise RuntimeError("the server exited with status %d" % process.returncode)
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("nothing listens on port %d after %d s" % (port, seconds))
