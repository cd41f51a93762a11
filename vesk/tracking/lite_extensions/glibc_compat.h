// Force-included (-include) before every source of the modules, so that the
// built modules ask glibc for nothing newer than GLIBC_2.4 and load on any
// x86_64 glibc from 2.5 on, whatever glibc they were built against.
//
// Each binding below names the oldest version of a symbol that behaves the
// same for the way the modules call it; glibc keeps those versions for old
// binaries, so they resolve at load time on new systems too. The functions
// glibc only added a wrapper for late (fstat64, fstatat64, getrandom,
// clock_gettime) are defined in glibc_compat.cpp as hidden functions making
// the system call directly.
//
// CMake force-includes it, with VESK_GLIBC_COMPAT defined, only where the
// compiler targets x86_64 glibc (GLIBC_2.2.5 is that port's first version),
// and not in sanitizer builds, whose run-time libraries intercept these
// calls and must see the modules make them through glibc. It includes no
// header itself: Python.h must come first in each source (its feature
// macros, _FILE_OFFSET_BITS among them, are read by the first system header).
#ifndef VESK_GLIBC_COMPAT_H
#define VESK_GLIBC_COMPAT_H

#ifdef VESK_GLIBC_COMPAT

// memcpy@GLIBC_2.14 only changed what overlapping copies do; the modules
// copy between distinct buffers, where both versions agree.
__asm__(".symver memcpy, memcpy@GLIBC_2.2.5");

// fcntl64 (2.28) exists for 32-bit offsets on 32-bit ports; on x86_64 it is
// fcntl itself. Headers name it when _FILE_OFFSET_BITS is 64 (pyconfig.h).
__asm__(".symver fcntl64, fcntl@GLIBC_2.2.5");

// glibc 2.38 headers send strtol and its kin, in C++ (_GNU_SOURCE), to the
// C23 entries, which also take a "0b" prefix with base 0 or 2. The modules
// parse decimal only (base 10), where both read the same digits.
__asm__(".symver __isoc23_strtol, strtol@GLIBC_2.2.5");
__asm__(".symver __isoc23_strtoul, strtoul@GLIBC_2.2.5");
__asm__(".symver __isoc23_strtoll, strtoll@GLIBC_2.2.5");
__asm__(".symver __isoc23_strtoull, strtoull@GLIBC_2.2.5");

// glibc 2.34 moved the thread functions from libpthread into libc under new
// versions and kept the old ones. Below 2.34 the old versions come from
// libpthread, which vandrel names itself (CMakeLists.txt) rather than
// counting on the interpreter to have loaded it.
__asm__(".symver pthread_create, pthread_create@GLIBC_2.2.5");
__asm__(".symver pthread_once, pthread_once@GLIBC_2.2.5");
__asm__(".symver pthread_join, pthread_join@GLIBC_2.2.5");
// 2.32 gave pthread_sigmask a new version when it moved; same behaviour.
__asm__(".symver pthread_sigmask, pthread_sigmask@GLIBC_2.2.5");
// Added in 2.3.3, given a new version in 2.34 only for the move.
__asm__(".symver pthread_condattr_setclock, pthread_condattr_setclock@GLIBC_2.3.3");

#endif
#endif
