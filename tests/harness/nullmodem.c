/* Test-only preload library: makes the harness's pty pairs behave like a
 * null-modem cable with modem lines, so Wine's line control and event waits
 * take the paths they take on a real UART.
 *
 * A Linux pty has no modem lines: TIOCMGET fails, so Wine fails every
 * modem-line call and ends each pending WaitCommEvent at once as cancelled.
 * This library answers TIOCMGET/TIOCMSET/TIOCMBIS/TIOCMBIC for the ptys of
 * the pairs listed in $QUOLM_NULLMODEM_DIR/pairs ("N M" per line, pty
 * numbers as in /dev/pts/N). The lines each end drives (DTR, RTS) live in
 * $QUOLM_NULLMODEM_DIR/lines, one byte per pty number, shared by every
 * process through a mapping: bit 0 DTR, bit 1 RTS, bit 7 set once written
 * (an unwritten end counts as DTR and RTS on, as Linux raises them at open).
 * Wiring as a null modem: my DTR is the other end's DSR and DCD, my RTS its
 * CTS. Anything else passes through to the real ioctl.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include "preload_ioctl.h"

enum { kMaxPty = 4096, kDtr = 1, kRts = 2, kWritten = 0x80 };


static volatile unsigned char* lines; /* kMaxPty bytes, shared */
static short peer_of[kMaxPty];        /* -1: not one of ours */
static pthread_once_t once = PTHREAD_ONCE_INIT;

static void load(void) {
    find_real_ioctl();
    for (int i = 0; i < kMaxPty; ++i) peer_of[i] = -1;
    const char* dir = getenv("QUOLM_NULLMODEM_DIR");
    if (!dir) return;
    char path[4096];
    snprintf(path, sizeof path, "%s/pairs", dir);
    FILE* f = fopen(path, "re");
    if (!f) return;
    int a, b;
    while (fscanf(f, "%d %d", &a, &b) == 2)
        if (a >= 0 && b >= 0 && a < kMaxPty && b < kMaxPty) {
            peer_of[a] = (short)b;
            peer_of[b] = (short)a;
        }
    fclose(f);
    snprintf(path, sizeof path, "%s/lines", dir);
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return;
    if (ftruncate(fd, kMaxPty) == 0) {
        void* p = mmap(NULL, kMaxPty, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p != MAP_FAILED) lines = p;
    }
    close(fd);
}

/* The pty number of a pty slave descriptor that belongs to a listed pair. */
static int our_pty(int fd) {
    struct stat st;
    if (!lines || fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return -1;
    unsigned maj = major(st.st_rdev);
    if (maj < 136 || maj > 143) return -1;
    int n = (int)((maj - 136) * 256 + minor(st.st_rdev));
    if (n >= kMaxPty || peer_of[n] < 0) return -1;
    return n;
}

static int driven(int n) {
    unsigned char v = lines[n];
    return (v & kWritten) ? (v & (kDtr | kRts)) : (kDtr | kRts);
}

static int status_of(int n) {
    int own = driven(n), other = driven(peer_of[n]), bits = 0;
    if (own & kDtr) bits |= TIOCM_DTR;
    if (own & kRts) bits |= TIOCM_RTS;
    if (other & kDtr) bits |= TIOCM_DSR | TIOCM_CAR;
    if (other & kRts) bits |= TIOCM_CTS;
    return bits;
}

static void drive(int n, int bits) {
    int v = 0;
    if (bits & TIOCM_DTR) v |= kDtr;
    if (bits & TIOCM_RTS) v |= kRts;
    lines[n] = (unsigned char)(v | kWritten);
}

static int modem_ioctl(int fd, unsigned long request, void* arg, ioctl_fn real) {
    if (request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS ||
        request == TIOCMBIC) {
        int n = our_pty(fd);
        if (n >= 0) {
            int* bits = arg;
            if (!bits) {
                errno = EFAULT;
                return -1;
            }
            switch (request) {
                case TIOCMGET: *bits = status_of(n); break;
                case TIOCMSET: drive(n, *bits); break;
                case TIOCMBIS: drive(n, status_of(n) | *bits); break;
                default: drive(n, status_of(n) & ~*bits); break;
            }
            return 0;
        }
    }
    if (!real) {
        errno = ENOSYS;
        return -1;
    }
    return real(fd, request, arg);
}

PRELOAD_IOCTL_ENTRIES(modem_ioctl)
