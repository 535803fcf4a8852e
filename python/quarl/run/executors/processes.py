"""How a run's worker process is started and stopped, whichever executor starts it.

This module is imported by the warm server too, before it forks: it imports nothing more than the
interpreter has loaded at start-up, so that no fork carries pages it does not need. Run as a
script, it is the watchdog of a run on a Dask worker (`watch`).
"""

from __future__ import annotations

import functools
import os
import signal
import sys
from collections.abc import Callable, Sequence
from typing import IO, TYPE_CHECKING, Any

if TYPE_CHECKING:
    import subprocess

WORKER_MODULE = "quarl.worker"


def start_fresh(python: str, args: Sequence[str], cwd: str, env: dict[str, str], stdout: IO[bytes],
                stderr: IO[bytes], preexec_fn: Callable[[], None] | None) -> subprocess.Popen[bytes]:
    """A fresh interpreter running the worker, leading a session of its own: whatever the asset
    starts is in its process group, which kill_group ends."""
    import subprocess

    return subprocess.Popen([python, "-m", WORKER_MODULE, *args], cwd=cwd, env=env,
                            stdin=subprocess.DEVNULL, stdout=stdout, stderr=stderr,
                            start_new_session=True, preexec_fn=preexec_fn)


# pidfd_send_signal's flag that signals the process group of the pidfd's process (Linux 6.9).
_PIDFD_SIGNAL_PROCESS_GROUP = 4


def kill_group(pid: int, pidfd: int | None = None) -> None:
    """Kills a run's worker and its process group (which it may not have made yet). Without a
    pidfd of the worker, call it only while the worker is not reaped: a reaped worker's pid may
    name someone else's process. With one, it never reaches another process, whoever reaped the
    worker: since Linux 6.9 the kernel signals the group of exactly the pidfd's process; before,
    the worker is killed through its pidfd, and its group by its id only when that signal found
    the worker not reaped (what reaps a worker kills what it left in its group first, see
    `ended`)."""
    if pidfd is not None:
        try:
            signal.pidfd_send_signal(pidfd, signal.SIGKILL, None, _PIDFD_SIGNAL_PROCESS_GROUP)
            return
        except ProcessLookupError:
            return  # the group has ended
        except OSError:
            pass  # a kernel without the flag
        try:
            signal.pidfd_send_signal(pidfd, signal.SIGKILL)
        except ProcessLookupError:
            return
        kill_leftovers(pid)
        return
    for kill in (os.killpg, os.kill):
        try:
            kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


def open_pidfd(pid: int) -> int | None:
    """A pidfd of the process PID, which is that process only if it is not reaped yet; None when
    there is no such process, or no pidfds here."""
    try:
        return os.pidfd_open(pid)
    except (AttributeError, OSError):
        return None


def kill_leftovers(pgid: int) -> None:
    """Kills what a worker that has exited left running in its process group. Call it before the
    worker is reaped (see `ended`): its zombie then holds the group's id, which no other group
    can have taken."""
    try:
        os.killpg(pgid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


def ended(pid: int) -> None:
    """Waits until a child of this process that leads its process group has exited, without
    reaping it, then kills what it left running in its group. The caller reaps it afterwards:
    until then its zombie holds its pid, so that neither this kill nor a kill_group of its pid
    meanwhile (at a timeout, an interrupt) can reach a process that took the pid over."""
    os.waitid(os.P_PID, pid, os.WEXITED | os.WNOWAIT)
    kill_leftovers(pid)


def describe_exit(status: int) -> str:
    """An exit status as the run's failure says it (negative: killed by that signal)."""
    if status < 0:
        try:
            name = signal.Signals(-status).name
        except ValueError:
            name = f"signal {-status}"
        return f"the worker was killed by {name}"
    return f"the worker exited with status {status}"


_PR_SET_PDEATHSIG = 1


@functools.cache
def _prctl() -> Any:
    import ctypes

    return ctypes.CDLL(None, use_errno=True).prctl


def dies_with_parent() -> Callable[[], None] | None:
    """What a child of this process calls first, on Linux, so that the kernel kills it when this
    process dies: a run whose orchestrator, server or Dask worker is gone is run again, and must
    not go on writing into its folder meanwhile. Two system calls: safe in the child of a
    threaded process too, as a preexec_fn. The kernel ties the signal to the thread that forks,
    so call this (and fork) from a thread that lives as long as the process. This process's pid
    is taken here, before any fork: a child that read its parent's pid itself would read the
    reaper's if the parent had died already."""
    if not sys.platform.startswith("linux"):
        return None
    prctl = _prctl()
    parent = os.getpid()

    def die_with_parent() -> None:
        prctl(_PR_SET_PDEATHSIG, signal.SIGKILL)
        if os.getppid() != parent:  # the parent died before the line above
            os._exit(1)

    return die_with_parent


def watch(pidfd: int, pid: int, seconds: float) -> None:
    """Kills a run's process group unless the run ends within SECONDS. Run as `python -I -S
    processes.py PIDFD PID SECONDS` beside a run on a Dask worker, in a session of its own: it
    needs nothing more of the Dask worker, which may be frozen or cut off from `quarl run` by the
    time the run is to be killed."""
    import select

    if not select.select([pidfd], [], [], seconds)[0]:
        kill_group(pid, pidfd)


if __name__ == "__main__":
    watch(int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]))
