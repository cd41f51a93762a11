"""Makes the kernel refuse, for this process and its children from now on,
what some kernels and file systems refuse anyway, so that the code paths
taken on such machines can be run on any Linux machine:

  "unnamed-files"  opening an unnamed file (O_TMPFILE) fails with EOPNOTSUPP,
                   as on a file system without them (some network ones);
  "proc-links"     linkat(..., AT_SYMLINK_FOLLOW) fails with ENOENT, as where
                   /proc is not mounted;
  "unlinkat"       unlinkat() fails with EPERM.

The refusal is a seccomp filter: it needs no privilege (the process gives
up gaining any through set-user-ID programs) and cannot be lifted. Used by
the tests and by tools/kill_logins.py:

    import kernel_refusals
    kernel_refusals.refuse("unnamed-files")   # OSError where unsupported
"""

import ctypes
import errno
import os
import platform
import struct

# struct seccomp_data: int nr; __u32 arch; __u64 instruction_pointer; __u64 args[6]
_NR_OFFSET = 0
_ARCH_OFFSET = 4


def _arg_offset(index):
    return 16 + 8 * index  # the low 32 bits on a little-endian machine


# (audit architecture, {system call: number}) of the machines supported.
_ARCHES = {
    "x86_64": (0xC000003E, {"open": 2, "openat": 257, "linkat": 265, "unlinkat": 263}),
    "aarch64": (0xC00000B7, {"openat": 56, "linkat": 37, "unlinkat": 35}),
}

_LD_W_ABS = 0x20    # BPF_LD | BPF_W | BPF_ABS
_JEQ_K = 0x15       # BPF_JMP | BPF_JEQ | BPF_K
_JSET_K = 0x45      # BPF_JMP | BPF_JSET | BPF_K
_RET_K = 0x06       # BPF_RET | BPF_K
_RET_ALLOW = 0x7FFF0000
_RET_ERRNO = 0x00050000
_AT_SYMLINK_FOLLOW = 0x400
_PR_SET_NO_NEW_PRIVS = 38
_PR_SET_SECCOMP = 22
_SECCOMP_MODE_FILTER = 2


def _tmpfile_bit():
    # O_TMPFILE is __O_TMPFILE | O_DIRECTORY; the first alone marks the open.
    return os.O_TMPFILE & ~os.O_DIRECTORY


# refusal: [(system call, index of its flags argument or None, flag bits, errno)]
_REFUSALS = {
    "unnamed-files": lambda: [("open", 1, _tmpfile_bit(), errno.EOPNOTSUPP),
                              ("openat", 2, _tmpfile_bit(), errno.EOPNOTSUPP)],
    "proc-links": lambda: [("linkat", 4, _AT_SYMLINK_FOLLOW, errno.ENOENT)],
    "unlinkat": lambda: [("unlinkat", None, None, errno.EPERM)],
}

NAMES = tuple(sorted(_REFUSALS))


def supported():
    return platform.system() == "Linux" and platform.machine() in _ARCHES


def _program(rules):
    audit_arch, numbers = _ARCHES[platform.machine()]
    code = [(_LD_W_ABS, 0, 0, _ARCH_OFFSET),
            (_JEQ_K, 1, 0, audit_arch),
            (_RET_K, 0, 0, _RET_ALLOW)]  # another ABI (x32, i386): left alone
    for name, flags_index, bits, error in rules:
        if name not in numbers:
            continue  # the machine has no such call (aarch64 has no open)
        code.append((_LD_W_ABS, 0, 0, _NR_OFFSET))
        if flags_index is None:
            code += [(_JEQ_K, 0, 1, numbers[name]),
                     (_RET_K, 0, 0, _RET_ERRNO | error)]
        else:
            code += [(_JEQ_K, 0, 3, numbers[name]),
                     (_LD_W_ABS, 0, 0, _arg_offset(flags_index)),
                     (_JSET_K, 0, 1, bits),
                     (_RET_K, 0, 0, _RET_ERRNO | error)]
    code.append((_RET_K, 0, 0, _RET_ALLOW))
    return b"".join(struct.pack("=HBBI", *instruction) for instruction in code), len(code)


class _SockFprog(ctypes.Structure):
    _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.c_void_p)]


def refuse(*names):
    """Installs the refusals `names` (see NAMES) for good; OSError where the
    machine or its kernel cannot."""
    if not supported():
        raise OSError(errno.ENOSYS, "seccomp filters are not supported on %s %s"
                      % (platform.system(), platform.machine()))
    rules = []
    for name in names:
        rules.extend(_REFUSALS[name]())
    program, length = _program(rules)
    buffer = ctypes.create_string_buffer(program, len(program))
    fprog = _SockFprog(length, ctypes.cast(buffer, ctypes.c_void_p))
    libc = ctypes.CDLL(None, use_errno=True)
    prctl = libc.prctl
    prctl.restype = ctypes.c_int
    ulong = ctypes.c_ulong
    if prctl(_PR_SET_NO_NEW_PRIVS, ulong(1), ulong(0), ulong(0), ulong(0)) != 0:
        error = ctypes.get_errno()
        raise OSError(error, "prctl(PR_SET_NO_NEW_PRIVS): " + os.strerror(error))
    if prctl(_PR_SET_SECCOMP, ulong(_SECCOMP_MODE_FILTER), ctypes.byref(fprog),
             ulong(0), ulong(0)) != 0:
        error = ctypes.get_errno()
        raise OSError(error, "prctl(PR_SET_SECCOMP): " + os.strerror(error))
