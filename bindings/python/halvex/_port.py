"""Why a serial port could not be opened, found out after the library refused it (Linux).

The library only answers 5; the binding probes the port the way the library opens it
(read-write, no controlling terminal, exclusive) to tell the user what stands in the way.
"""

from __future__ import annotations

import errno
import os
import sys
from typing import List, Optional, Tuple

__all__ = ["other_holders", "port_open_reason"]


def _group_name(gid: int) -> str:
    import grp  # POSIX only, like everything here

    try:
        return grp.getgrgid(gid).gr_name
    except KeyError:
        return str(gid)


def _permission_reason(path: str) -> str:
    try:
        group = _group_name(os.stat(path).st_gid)
    except OSError:
        group = "dialout"
    return (
        "permission denied: the user is not allowed to open it; an administrator adds the user "
        "to the %s group (sudo usermod -aG %s $USER), which takes effect at the next login"
        % (group, group)
    )


def _holders(path: str) -> List[int]:
    """The processes holding the port's lock (the library takes one on every port it opens),
    from /proc/locks."""
    try:
        target = os.stat(path)
        with open("/proc/locks", encoding="ascii", errors="replace") as locks:
            lines = locks.read().splitlines()
    except OSError:
        return []
    wanted = "%02x:%02x:%d" % (os.major(target.st_dev), os.minor(target.st_dev), target.st_ino)
    found: List[int] = []
    for line in lines:
        words = line.split()
        # "1: FLOCK  ADVISORY  WRITE 1234 00:1a:5 0 EOF"; blocked waiters carry "->" first.
        if "->" in words or len(words) < 6 or words[1] != "FLOCK" or words[5] != wanted:
            continue
        if words[4].isdigit() and int(words[4]) not in found:
            found.append(int(words[4]))
    return found


def _describe_process(pid: int) -> str:
    try:
        with open("/proc/%d/comm" % pid, encoding="utf-8", errors="replace") as comm:
            return "pid %d (%s)" % (pid, comm.read().strip())
    except OSError:
        return "pid %d" % pid


def other_holders(path: str) -> List[Tuple[int, str]]:
    """The (pid, name) of the other processes that have the device at ``path`` open, found
    in /proc/*/fd (Linux only; [] elsewhere or when the path does not exist)."""
    if not sys.platform.startswith("linux"):
        return []
    try:
        target = os.stat(path)
    except OSError:
        return []
    same_device = target.st_rdev != 0
    found: List[Tuple[int, str]] = []
    mine = os.getpid()
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == mine:
            continue
        pid = int(entry)
        try:
            fds = os.listdir("/proc/%d/fd" % pid)
        except OSError:  # gone, or another user's
            continue
        for fd in fds:
            try:
                held = os.stat("/proc/%d/fd/%s" % (pid, fd))
            except OSError:
                continue
            if (same_device and held.st_rdev == target.st_rdev) or (
                not same_device and (held.st_dev, held.st_ino) == (target.st_dev, target.st_ino)
            ):
                try:
                    with open("/proc/%d/comm" % pid, encoding="utf-8", errors="replace") as comm:
                        name = comm.read().strip()
                except OSError:
                    name = ""
                found.append((pid, name))
                break
    return found


def _held_reason(path: str) -> str:
    holders = _holders(path)
    others = [_describe_process(pid) for pid in holders if pid != os.getpid()]
    # The library in this very process: its command port, or a card monitoring on that port.
    mine = "this process (pid %d): the library has it open here, as the command port or a " \
        "card's monitoring port" % os.getpid()
    if others:
        return "held by another process: " + ", ".join(others) + (
            "; and by " + mine if os.getpid() in holders else "")
    if holders:
        return "held by " + mine
    return "held by another process (the port is opened for exclusive use)"


def port_open_reason(port: str) -> Optional[str]:
    """What keeps ``port`` from opening, or None when the binding cannot tell (or the port
    opens now). Linux only; None elsewhere."""
    if not sys.platform.startswith("linux"):
        return None
    import fcntl

    if not os.path.lexists(port):
        return "no such file"
    if not os.path.exists(port):
        return "no such file (%s is a link to nothing)" % port
    try:
        fd = os.open(port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as error:
        if error.errno in (errno.EACCES, errno.EPERM):
            return _permission_reason(port)
        if error.errno == errno.EBUSY:  # another user's exclusive open
            return _held_reason(port)
        if error.errno in (errno.ENXIO, errno.ENODEV, errno.EIO):
            return "no device answers behind it (unplugged?): %s" % os.strerror(error.errno)
        if error.errno == errno.EISDIR:
            return "it is a folder, not a serial port"
        return os.strerror(error.errno or 0).lower()
    try:
        if not os.isatty(fd):
            return "not a serial port (not a terminal device)"
        try:
            # The library also takes this lock, which keeps out even root and itself.
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as error:
            if error.errno not in (errno.EWOULDBLOCK, errno.EAGAIN):
                return os.strerror(error.errno or 0).lower()
        else:
            fcntl.flock(fd, fcntl.LOCK_UN)
            return None
    finally:
        os.close(fd)
    return _held_reason(port)
