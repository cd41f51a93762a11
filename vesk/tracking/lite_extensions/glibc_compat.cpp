// The few functions whose glibc wrappers are newer than the modules may
// ask for (see glibc_compat.h): each makes its system call directly. They
// are hidden, so the modules' own calls bind to them and nothing else sees
// them. The kernel calls behave as the wrappers do on x86_64, where struct
// stat and struct stat64 are one layout.
#include "glibc_compat.h"

#ifdef VESK_GLIBC_COMPAT

#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#define VESK_HIDDEN __attribute__((visibility("hidden")))

extern "C" {

// The stat family became functions in glibc 2.33; before, the headers
// turned them into calls of __fxstat64, which new headers no longer offer.
// Sources see the 64 names (pyconfig.h sets _FILE_OFFSET_BITS to 64), the
// plain ones are here for any that would not.
VESK_HIDDEN int fstat64(int fd, struct stat64 *buffer) noexcept {
    return static_cast<int>(syscall(SYS_fstat, fd, buffer));
}

VESK_HIDDEN int fstatat64(int folder, const char *path, struct stat64 *buffer, int flags) noexcept {
    return static_cast<int>(syscall(SYS_newfstatat, folder, path, buffer, flags));
}

VESK_HIDDEN int fstat(int fd, struct stat *buffer) noexcept {
    return static_cast<int>(syscall(SYS_fstat, fd, buffer));
}

VESK_HIDDEN int fstatat(int folder, const char *path, struct stat *buffer, int flags) noexcept {
    return static_cast<int>(syscall(SYS_newfstatat, folder, path, buffer, flags));
}

// glibc 2.25. A kernel without the call (before 3.17) gives ENOSYS, which
// callers take as "no random bytes", as they take a failed wrapper call.
VESK_HIDDEN ssize_t getrandom(void *buffer, size_t length, unsigned int flags) {
    return syscall(SYS_getrandom, buffer, length, flags);
}

// glibc 2.17 moved clock_gettime from librt into libc. The modules read the
// clock a few times per request, so the vDSO's saving does not matter here.
VESK_HIDDEN int clock_gettime(clockid_t clock, struct timespec *now) noexcept {
    return static_cast<int>(syscall(SYS_clock_gettime, clock, now));
}

}  // extern "C"

#endif
