/* A test-only wpcap.dll: the capture calls that Wine's own wpcap.dll implements are passed to
 * it (loaded by full path from the system directory), and the calls it lacks are made here on
 * top of them, with the capture package's documented behaviour, so that the driver's paths for
 * that package run under Wine:
 * - pcap_getevent: a manual-reset event, signalled while at least the minimum to copy (and at
 *   least one byte) of captured data waits, or a failure that a read would return. A thread of ours reads the capture ahead into a
 *   queue, which the read calls drain.
 * - pcap_setmintocopy: records the minimum (16000 bytes until set); a blocking pcap_next_ex or
 *   pcap_dispatch returns when that much waits or the read timeout expires, whichever is first.
 * - pcap_sendqueue_alloc/queue/transmit/destroy: a queue of memsize bytes holding a pcap_pkthdr
 *   before each frame; queueing past its end fails; transmit sends frame by frame and returns the
 *   queue bytes (headers included) of the frames sent, fewer than the queue's length when one
 *   fails, with the reason in pcap_geterr.
 * Never shipped: it is copied into a test's own Wine prefix where the package installs its library.
 *
 * VIFNET_WPCAP_FAULT makes one call misbehave: "stuck-event" (the event stays signalled),
 * "mintocopy" (pcap_setmintocopy fails), "transmit:N" (frame N of every queue, from 0, fails). */
#include <windows.h>

#include <stdlib.h>
#include <string.h>

typedef struct pcap pcap_t;
typedef struct {
    long tv_sec, tv_usec;
} shim_timeval;
typedef struct {
    shim_timeval ts;
    unsigned caplen, len;
} pcap_pkthdr;
typedef void (*pcap_handler)(unsigned char*, const pcap_pkthdr*, const unsigned char*);
typedef struct {
    unsigned maxlen, len;
    char* buffer;
} pcap_send_queue;

#define API __declspec(dllexport)
#define DEFAULT_MIN_TO_COPY 16000
#define QUEUE_BYTES (4u << 20)
#define MAX_CAPTURES 16

/* ---- Wine's library ---- */
static struct {
    int (*findalldevs)(void**, char*);
    void (*freealldevs)(void*);
    pcap_t* (*create)(const char*, char*);
    int (*set_snaplen)(pcap_t*, int);
    int (*set_promisc)(pcap_t*, int);
    int (*set_timeout)(pcap_t*, int);
    int (*set_buffer_size)(pcap_t*, int);
    int (*activate)(pcap_t*);
    int (*setfilter)(pcap_t*, void*);
    int (*next_ex)(pcap_t*, pcap_pkthdr**, const unsigned char**);
    int (*sendpacket)(pcap_t*, const unsigned char*, int);
    char* (*geterr)(pcap_t*);
    const char* (*statustostr)(int);
    void (*close)(pcap_t*);
    void (*breakloop)(pcap_t*);
    int (*setbuff)(pcap_t*, int);
} wine;

static INIT_ONCE g_once = INIT_ONCE_STATIC_INIT;
static int g_stuckEvent, g_mintocopyFails;
static long g_transmitFailsAt = -1;

static BOOL CALLBACK LoadWine(PINIT_ONCE once, void* param, void** context) {
    (void)once, (void)param, (void)context;
    wchar_t path[MAX_PATH];
    UINT n = GetSystemDirectoryW(path, MAX_PATH - 16);
    lstrcpyW(path + n, L"\\wpcap.dll");
    HMODULE lib = LoadLibraryW(path);
    if (!lib) return FALSE;
#define BIND(name) wine.name = (__typeof__(wine.name))(void (*)(void))GetProcAddress(lib, "pcap_" #name)
    BIND(findalldevs), BIND(freealldevs), BIND(create), BIND(set_snaplen), BIND(set_promisc), BIND(set_timeout);
    BIND(set_buffer_size), BIND(activate), BIND(setfilter), BIND(next_ex), BIND(sendpacket), BIND(geterr);
    BIND(statustostr), BIND(close), BIND(breakloop), BIND(setbuff);
    const char* fault = getenv("VIFNET_WPCAP_FAULT");
    if (fault) {
        g_stuckEvent = strcmp(fault, "stuck-event") == 0;
        g_mintocopyFails = strcmp(fault, "mintocopy") == 0;
        if (strncmp(fault, "transmit:", 9) == 0) g_transmitFailsAt = atol(fault + 9);
    }
    return TRUE;
}

static int Wine(void) { return InitOnceExecuteOnce(&g_once, LoadWine, NULL, NULL) && wine.next_ex; }

/* ---- One capture: what our reader thread has read ahead ---- */
typedef struct {
    pcap_t* p;
    CRITICAL_SECTION mu;
    CONDITION_VARIABLE cv;
    HANDLE event, thread;
    int timeoutMs, minToCopy, nonblock;
    int stop, pause, paused, broken, failed;
    char* queue; /* records: a pcap_pkthdr, then caplen bytes */
    unsigned readAt, used;
    pcap_pkthdr current;
    unsigned char frame[65536];
    char err[256], failure[256]; /* our last failure's text; the reader's, for the next read */
    int errSet;
} Capture;

static Capture* g_captures[MAX_CAPTURES];
static SRWLOCK g_capturesLock = SRWLOCK_INIT;

static Capture* Of(pcap_t* p) {
    Capture* c = NULL;
    AcquireSRWLockShared(&g_capturesLock);
    for (int i = 0; i < MAX_CAPTURES && !c; ++i)
        if (g_captures[i] && g_captures[i]->p == p) c = g_captures[i];
    ReleaseSRWLockShared(&g_capturesLock);
    return c;
}

static unsigned Waiting(const Capture* c) { return c->used - c->readAt; }

/* Under c->mu: the event follows what waits; a failure waits too (a read returns it at once). */
static void Signal(Capture* c) {
    unsigned min = c->minToCopy > 0 ? (unsigned)c->minToCopy : 1;
    if (g_stuckEvent || Waiting(c) >= min || c->failed) SetEvent(c->event);
    else ResetEvent(c->event);
    WakeAllConditionVariable(&c->cv);
}

static void SetError(Capture* c, const char* text) {
    lstrcpynA(c->err, text, sizeof c->err);
    c->errSet = 1;
}

static Capture* Fresh(pcap_t* p) {
    Capture* c = Of(p);
    c->errSet = 0;
    return c;
}

static DWORD WINAPI ReadAhead(void* arg) {
    Capture* c = arg;
    EnterCriticalSection(&c->mu);
    while (!c->stop) {
        if (c->pause) {
            c->paused = 1;
            WakeAllConditionVariable(&c->cv);
            while (c->pause && !c->stop) SleepConditionVariableCS(&c->cv, &c->mu, INFINITE);
            c->paused = 0;
            continue;
        }
        LeaveCriticalSection(&c->mu);
        pcap_pkthdr* h;
        const unsigned char* data;
        int rc = wine.next_ex(c->p, &h, &data);
        EnterCriticalSection(&c->mu);
        if (rc == 1) {
            unsigned size = sizeof *h + h->caplen;
            if (c->used + size > QUEUE_BYTES && c->readAt > 0) {
                memmove(c->queue, c->queue + c->readAt, Waiting(c));
                c->used -= c->readAt;
                c->readAt = 0;
            }
            if (c->used + size <= QUEUE_BYTES) { /* else dropped, as by a full kernel buffer */
                memcpy(c->queue + c->used, h, sizeof *h);
                memcpy(c->queue + c->used + sizeof *h, data, h->caplen);
                c->used += size;
                Signal(c);
            }
        } else if (rc < 0 && rc != -2) {
            c->failed = 1;
            lstrcpynA(c->failure, wine.geterr(c->p), sizeof c->failure);
            Signal(c);
            LeaveCriticalSection(&c->mu);
            Sleep(50);
            EnterCriticalSection(&c->mu);
        }
    }
    LeaveCriticalSection(&c->mu);
    return 0;
}

/* Wine's library takes one call at a time on a capture besides sends: setting changes wait until
 * our reader is between two reads. */
static void Pause(Capture* c) {
    EnterCriticalSection(&c->mu);
    c->pause = 1;
    while (c->thread && !c->paused) {
        wine.breakloop(c->p);
        SleepConditionVariableCS(&c->cv, &c->mu, 20);
    }
    LeaveCriticalSection(&c->mu);
}

static void Resume(Capture* c) {
    EnterCriticalSection(&c->mu);
    c->pause = 0;
    WakeAllConditionVariable(&c->cv);
    LeaveCriticalSection(&c->mu);
}

/* Under c->mu: waits as a blocking read does, then takes one frame (1), none (0) or the failure. */
static int Take(Capture* c, int honourMinimum) {
    ULONGLONG deadline = GetTickCount64() + (ULONGLONG)c->timeoutMs;
    unsigned min = honourMinimum && c->minToCopy > 0 ? (unsigned)c->minToCopy : 1;
    while (!c->nonblock && !c->broken && !c->failed && Waiting(c) < min) {
        ULONGLONG now = GetTickCount64();
        if (c->timeoutMs > 0 && now >= deadline) break;
        SleepConditionVariableCS(&c->cv, &c->mu, c->timeoutMs > 0 ? (DWORD)(deadline - now) : INFINITE);
    }
    if (c->broken) {
        c->broken = 0;
        return -2;
    }
    if (Waiting(c) == 0) {
        if (!c->failed) return 0;
        c->failed = 0;
        SetError(c, c->failure);
        Signal(c);
        return -1;
    }
    memcpy(&c->current, c->queue + c->readAt, sizeof c->current);
    memcpy(c->frame, c->queue + c->readAt + sizeof c->current, c->current.caplen);
    c->readAt += sizeof c->current + c->current.caplen;
    if (c->readAt == c->used) c->readAt = c->used = 0;
    Signal(c);
    return 1;
}

/* ---- The calls ---- */
API int pcap_findalldevs(void** devices, char* errbuf) {
    if (!Wine()) return lstrcpyA(errbuf, "no system wpcap.dll"), -1;
    return wine.findalldevs(devices, errbuf);
}

API void pcap_freealldevs(void* devices) { wine.freealldevs(devices); }

API pcap_t* pcap_create(const char* device, char* errbuf) {
    if (!Wine()) return lstrcpyA(errbuf, "no system wpcap.dll"), NULL;
    Capture* c = calloc(1, sizeof *c);
    if (c) c->queue = malloc(QUEUE_BYTES);
    if (!c || !c->queue) return free(c), lstrcpyA(errbuf, "out of memory"), NULL;
    c->p = wine.create(device, errbuf);
    AcquireSRWLockExclusive(&g_capturesLock);
    int slot = 0;
    while (slot < MAX_CAPTURES && g_captures[slot]) ++slot;
    if (c->p && slot < MAX_CAPTURES) g_captures[slot] = c;
    ReleaseSRWLockExclusive(&g_capturesLock);
    if (!c->p || slot == MAX_CAPTURES) {
        if (c->p) wine.close(c->p), lstrcpyA(errbuf, "too many captures");
        free(c->queue), free(c);
        return NULL;
    }
    InitializeCriticalSection(&c->mu);
    InitializeConditionVariable(&c->cv);
    c->event = CreateEventW(NULL, TRUE, FALSE, NULL);
    c->minToCopy = DEFAULT_MIN_TO_COPY;
    return c->p;
}

API int pcap_set_snaplen(pcap_t* p, int n) { return wine.set_snaplen(p, n); }
API int pcap_set_promisc(pcap_t* p, int on) { return wine.set_promisc(p, on); }
API int pcap_set_buffer_size(pcap_t* p, int n) { return wine.set_buffer_size(p, n); }
API const char* pcap_statustostr(int status) { return wine.statustostr(status); }
API int pcap_sendpacket(pcap_t* p, const unsigned char* frame, int n) {
    Fresh(p);
    return wine.sendpacket(p, frame, n);
}

/* Our reader hands frames on at once: the timeout is kept for the reads that we answer. */
API int pcap_set_timeout(pcap_t* p, int ms) {
    Of(p)->timeoutMs = ms;
    return wine.set_timeout(p, 1);
}

API int pcap_activate(pcap_t* p) {
    Capture* c = Of(p);
    int rc = wine.activate(p);
    if (rc >= 0) c->thread = CreateThread(NULL, 0, ReadAhead, c, 0, NULL);
    return rc;
}

API int pcap_setfilter(pcap_t* p, void* program) {
    Capture* c = Fresh(p);
    Pause(c);
    int rc = wine.setfilter(p, program);
    Resume(c);
    return rc;
}

API int pcap_setbuff(pcap_t* p, int bytes) {
    Capture* c = Fresh(p);
    Pause(c);
    int rc = wine.setbuff(p, bytes);
    Resume(c);
    return rc;
}

API int pcap_setnonblock(pcap_t* p, int on, char* errbuf) {
    (void)errbuf;
    Capture* c = Of(p);
    EnterCriticalSection(&c->mu);
    c->nonblock = on;
    LeaveCriticalSection(&c->mu);
    return 0;
}

/* Our own failure text while the last failed call was one of ours, else Wine's. */
API char* pcap_geterr(pcap_t* p) {
    Capture* c = Of(p);
    return c && c->errSet ? c->err : wine.geterr(p);
}

API void pcap_breakloop(pcap_t* p) {
    Capture* c = Of(p);
    EnterCriticalSection(&c->mu);
    c->broken = 1;
    WakeAllConditionVariable(&c->cv);
    LeaveCriticalSection(&c->mu);
}

API int pcap_next_ex(pcap_t* p, pcap_pkthdr** header, const unsigned char** data) {
    Capture* c = Fresh(p);
    EnterCriticalSection(&c->mu);
    int rc = Take(c, 1);
    *header = &c->current;
    *data = c->frame;
    LeaveCriticalSection(&c->mu);
    return rc;
}

API int pcap_dispatch(pcap_t* p, int count, pcap_handler handler, unsigned char* user) {
    Capture* c = Fresh(p);
    int n = 0, rc;
    EnterCriticalSection(&c->mu);
    while ((count <= 0 || n < count) && (rc = Take(c, n == 0)) == 1) {
        LeaveCriticalSection(&c->mu);
        handler(user, &c->current, c->frame);
        ++n;
        EnterCriticalSection(&c->mu);
        c->nonblock |= 2; /* after the first frame, only what already waits */
    }
    c->nonblock &= 1;
    LeaveCriticalSection(&c->mu);
    return n > 0 ? n : rc;
}

API void pcap_close(pcap_t* p) {
    Capture* c = Of(p);
    AcquireSRWLockExclusive(&g_capturesLock);
    for (int i = 0; i < MAX_CAPTURES; ++i)
        if (g_captures[i] == c) g_captures[i] = NULL;
    ReleaseSRWLockExclusive(&g_capturesLock);
    if (c->thread) {
        EnterCriticalSection(&c->mu);
        c->stop = 1;
        WakeAllConditionVariable(&c->cv);
        LeaveCriticalSection(&c->mu);
        while (WaitForSingleObject(c->thread, 20) == WAIT_TIMEOUT) wine.breakloop(p);
        CloseHandle(c->thread);
    }
    wine.close(p);
    CloseHandle(c->event);
    DeleteCriticalSection(&c->mu);
    free(c->queue);
    free(c);
}

API HANDLE pcap_getevent(pcap_t* p) { return Of(p)->event; }

API int pcap_setmintocopy(pcap_t* p, int size) {
    Capture* c = Fresh(p);
    EnterCriticalSection(&c->mu);
    int rc = 0;
    if (g_mintocopyFails) {
        SetError(c, "the adapter refused the setting");
        rc = -1;
    } else {
        c->minToCopy = size;
        Signal(c);
    }
    LeaveCriticalSection(&c->mu);
    return rc;
}

API pcap_send_queue* pcap_sendqueue_alloc(unsigned memsize) {
    pcap_send_queue* q = malloc(sizeof *q + memsize);
    if (!q) return NULL;
    q->maxlen = memsize;
    q->len = 0;
    q->buffer = (char*)(q + 1);
    return q;
}

API void pcap_sendqueue_destroy(pcap_send_queue* q) { free(q); }

API int pcap_sendqueue_queue(pcap_send_queue* q, const pcap_pkthdr* header, const unsigned char* frame) {
    if (q->len + sizeof *header + header->caplen > q->maxlen) return -1;
    memcpy(q->buffer + q->len, header, sizeof *header);
    memcpy(q->buffer + q->len + sizeof *header, frame, header->caplen);
    q->len += sizeof *header + header->caplen;
    return 0;
}

API unsigned pcap_sendqueue_transmit(pcap_t* p, pcap_send_queue* q, int sync) {
    (void)sync; /* frames go out as fast as the adapter takes them either way */
    Capture* c = Fresh(p);
    unsigned at = 0;
    for (long n = 0; at < q->len; ++n) {
        pcap_pkthdr h;
        memcpy(&h, q->buffer + at, sizeof h);
        if (n == g_transmitFailsAt) {
            EnterCriticalSection(&c->mu);
            SetError(c, "send: No buffer space available");
            LeaveCriticalSection(&c->mu);
            break;
        }
        if (wine.sendpacket(p, (const unsigned char*)q->buffer + at + sizeof h, (int)h.caplen) != 0) break;
        at += sizeof h + h.caplen;
    }
    return at;
}
