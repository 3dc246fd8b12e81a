/* The ioctl entry points of a preload library, shared by the harness's
 * libraries: ioctl, and in 32-bit programs built with a 64-bit time_t
 * (Wine's among them) __ioctl_time64. Each entry runs the library's
 * `load` once (through its `once`), then hands the request to the
 * library's handler with the next library's function of the same name. */
#pragma once

#include <dlfcn.h>
#include <pthread.h>
#include <stdarg.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);

static ioctl_fn real_ioctl;
#if defined(__i386__)
static ioctl_fn real_ioctl_time64;
#endif

/* For the library's load(). */
static void find_real_ioctl(void) {
    real_ioctl = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
#if defined(__i386__)
    real_ioctl_time64 = (ioctl_fn)dlsym(RTLD_NEXT, "__ioctl_time64");
#endif
}

#define PRELOAD_IOCTL_ENTRY(name, handler, real)            \
    int name(int fd, unsigned long request, ...) {          \
        va_list ap;                                         \
        va_start(ap, request);                              \
        void* arg = va_arg(ap, void*);                      \
        va_end(ap);                                         \
        pthread_once(&once, load);                          \
        return handler(fd, request, arg, real);             \
    }

#if defined(__i386__)
#define PRELOAD_IOCTL_ENTRIES(handler)                 \
    PRELOAD_IOCTL_ENTRY(ioctl, handler, real_ioctl)    \
    PRELOAD_IOCTL_ENTRY(__ioctl_time64, handler, real_ioctl_time64)
#else
#define PRELOAD_IOCTL_ENTRIES(handler) PRELOAD_IOCTL_ENTRY(ioctl, handler, real_ioctl)
#endif
