"""What the harness's servers share: a free loopback port, and stopping a
server process for good."""

import signal
import socket
import subprocess


def free_port():
    """A TCP port on 127.0.0.1 that nothing listens on now."""
    probe = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]
    finally:
        probe.close()


def stop_process(process, timeout=15):
    """SIGTERM, then SIGKILL after timeout seconds; a process that has
    ended (or was never started) is left as it is."""
    if process is None or process.poll() is not None:
        return
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
