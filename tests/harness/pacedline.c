/* Test-only preload library: gives chosen ptys the transmit side of a UART,
 * so Wine's serial calls meet what a real adapter does with them.
 *
 * A pty takes every write at once and never holds bytes back. A UART keeps
 * them in its driver and sends them at the baud rate: under Wine,
 * ClearCommError's cbOutQue is TIOCOUTQ, PurgeComm's PURGE_TXCLEAR is
 * tcflush(TCOFLUSH) and FlushFileBuffers is tcdrain. For the ptys named in
 * $QUOLM_PACED_TTYS (paths separated by ':'), this library queues what
 * write() is given and a thread lets it out at the line's baud rate (from
 * termios, 10 bits a character); TIOCOUTQ reports the queue, TCOFLUSH and
 * TCIOFLUSH drop it, tcdrain (and TCSBRK with a non-zero argument) waits
 * for it. While the file named by $QUOLM_PACED_HOLD exists the line is held
 * (as with CTS low or an XOFF received): nothing leaves. The queue is the
 * writing process's own; bytes still queued when the process ends are lost.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "preload_ioctl.h"

enum { kMaxLines = 8, kTickNs = 2 * 1000 * 1000 };

typedef ssize_t (*write_fn)(int, const void*, size_t);

struct line {
    dev_t rdev;
    int out;           /* our own descriptor of the pty, for the paced writes */
    unsigned baud;
    char* queue;
    size_t len, cap;
    double credit;     /* characters the line could have sent by now */
};

static struct line lines[kMaxLines];
static int nlines;
static const char* hold_path;
static write_fn real_write;
static int (*real_tcdrain)(int);
static int (*real_tcflush)(int, int);
static pthread_mutex_t mu = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t drained = PTHREAD_COND_INITIALIZER;
static pthread_once_t once = PTHREAD_ONCE_INIT;
static pthread_once_t thread_once = PTHREAD_ONCE_INIT;

static void load(void) {
    find_real_ioctl();
    real_write = (write_fn)dlsym(RTLD_NEXT, "write");
    real_tcdrain = (int (*)(int))dlsym(RTLD_NEXT, "tcdrain");
    real_tcflush = (int (*)(int, int))dlsym(RTLD_NEXT, "tcflush");
    hold_path = getenv("QUOLM_PACED_HOLD");
    const char* ttys = getenv("QUOLM_PACED_TTYS");
    if (!ttys) return;
    char* copy = strdup(ttys);
    if (!copy) return;
    char* save = NULL;
    for (char* p = strtok_r(copy, ":", &save); p && nlines < kMaxLines; p = strtok_r(NULL, ":", &save)) {
        struct stat st;
        if (stat(p, &st) == 0 && S_ISCHR(st.st_mode)) {
            lines[nlines].rdev = st.st_rdev;
            lines[nlines].out = -1;
            lines[nlines].baud = 9600;
            ++nlines;
        }
    }
    free(copy);
}

static struct line* line_of(int fd) {
    pthread_once(&once, load);
    if (nlines == 0) return NULL;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return NULL;
    for (int i = 0; i < nlines; ++i)
        if (lines[i].rdev == st.st_rdev) return &lines[i];
    return NULL;
}

static unsigned baud_of(speed_t s) {
    static const struct { speed_t code; unsigned rate; } table[] = {
        {B50, 50},       {B75, 75},         {B110, 110},       {B134, 134},       {B150, 150},
        {B200, 200},     {B300, 300},       {B600, 600},       {B1200, 1200},     {B1800, 1800},
        {B2400, 2400},   {B4800, 4800},     {B9600, 9600},     {B19200, 19200},   {B38400, 38400},
        {B57600, 57600}, {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600},
    };
    for (size_t i = 0; i < sizeof table / sizeof table[0]; ++i)
        if (table[i].code == s) return table[i].rate;
    return 9600;
}

static int held(void) { return hold_path && access(hold_path, F_OK) == 0; }

static void* pace(void* arg) {
    (void)arg;
    struct timespec last;
    clock_gettime(CLOCK_MONOTONIC, &last);
    for (;;) {
        struct timespec tick = {0, kTickNs};
        nanosleep(&tick, NULL);
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        const double seconds = (double)(now.tv_sec - last.tv_sec) + (now.tv_nsec - last.tv_nsec) / 1e9;
        last = now;
        const int hold = held();
        pthread_mutex_lock(&mu);
        for (int i = 0; i < nlines; ++i) {
            struct line* l = &lines[i];
            /* An idle or held line saves up nothing. */
            if (l->len == 0 || hold || l->out < 0) {
                l->credit = 0;
                continue;
            }
            l->credit += seconds * l->baud / 10.0;
            size_t n = (size_t)l->credit;
            if (n > l->len) n = l->len;
            if (n == 0) continue;
            const ssize_t w = real_write(l->out, l->queue, n);
            if (w <= 0) continue; /* the pty is full: next tick */
            memmove(l->queue, l->queue + w, l->len - (size_t)w);
            l->len -= (size_t)w;
            l->credit -= (double)w;
        }
        pthread_cond_broadcast(&drained);
        pthread_mutex_unlock(&mu);
    }
    return NULL;
}

static void start_thread(void) {
    pthread_t t;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_create(&t, &attr, pace, NULL);
    pthread_attr_destroy(&attr);
}

ssize_t write(int fd, const void* buf, size_t count) {
    struct line* l = line_of(fd);
    if (!l) return real_write(fd, buf, count);
    pthread_once(&thread_once, start_thread);
    struct termios tio;
    pthread_mutex_lock(&mu);
    if (tcgetattr(fd, &tio) == 0) l->baud = baud_of(cfgetospeed(&tio));
    /* Our own descriptor: the caller may close its own while bytes wait. */
    if (l->out < 0) l->out = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (l->len + count > l->cap) {
        size_t cap = l->cap ? l->cap : 4096;
        while (cap < l->len + count) cap *= 2;
        char* q = realloc(l->queue, cap);
        if (!q) {
            pthread_mutex_unlock(&mu);
            errno = ENOMEM;
            return -1;
        }
        l->queue = q;
        l->cap = cap;
    }
    memcpy(l->queue + l->len, buf, count);
    l->len += count;
    pthread_mutex_unlock(&mu);
    return (ssize_t)count;
}

static void drop_output(struct line* l) {
    pthread_mutex_lock(&mu);
    l->len = 0;
    pthread_cond_broadcast(&drained);
    pthread_mutex_unlock(&mu);
}

/* Waits, as a UART's drain does, with no limit. */
static void wait_drained(struct line* l) {
    pthread_mutex_lock(&mu);
    while (l->len > 0) pthread_cond_wait(&drained, &mu);
    pthread_mutex_unlock(&mu);
}

int tcdrain(int fd) {
    struct line* l = line_of(fd);
    if (l) wait_drained(l);
    return real_tcdrain(fd);
}

int tcflush(int fd, int queue) {
    struct line* l = line_of(fd);
    if (l && (queue == TCOFLUSH || queue == TCIOFLUSH)) drop_output(l);
    return real_tcflush(fd, queue);
}

static int paced_ioctl(int fd, unsigned long request, void* arg, ioctl_fn real) {
    struct line* l = (request == TIOCOUTQ || request == TCFLSH || request == TCSBRK) ? line_of(fd) : NULL;
    if (l && request == TIOCOUTQ) {
        if (!arg) {
            errno = EFAULT;
            return -1;
        }
        pthread_mutex_lock(&mu);
        *(int*)arg = (int)l->len;
        pthread_mutex_unlock(&mu);
        return 0;
    }
    if (l && request == TCFLSH) {
        const long queue = (long)arg;
        if (queue == TCOFLUSH || queue == TCIOFLUSH) drop_output(l);
    }
    if (l && request == TCSBRK && arg) wait_drained(l);
    if (!real) {
        errno = ENOSYS;
        return -1;
    }
    return real(fd, request, arg);
}

PRELOAD_IOCTL_ENTRIES(paced_ioctl)
