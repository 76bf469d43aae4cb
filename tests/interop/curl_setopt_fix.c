/*
 * LD_PRELOAD shim that lets Debian's syncevolution 2.0.0 talk HTTP at all.
 *
 * Its libcurl transport (SyncEvo::CurlTransportAgent) hands capture-less lambdas to
 * curl_easy_setopt() for CURLOPT_WRITEFUNCTION and CURLOPT_READFUNCTION. Through the variadic
 * argument list no function pointer ever arrives (the register holding the third argument is
 * left unset), so libcurl calls a garbage address on the first POST and the client crashes.
 *
 * We wrap curl_easy_setopt(): for calls made from libsyncevolution we replace those two
 * callbacks with our own C functions, which forward to the agent's exported members
 *     size_t CurlTransportAgent::writeData(void *buffer, size_t size)
 *     size_t CurlTransportAgent::readData(void *buffer, size_t size)
 * (both copy `size` bytes at most and return how many they copied, as libcurl expects).
 * The agent object is the one given with CURLOPT_WRITEDATA / CURLOPT_READDATA, which libcurl
 * passes back as `userdata`; we also remember it per handle in case userdata is ever NULL.
 * Every other option, and every call from anyone else, goes to libcurl untouched.
 *
 * Build:  gcc -shared -fPIC -Wall -Wextra -O2 -o libcurlfix.so curl_setopt_fix.c -ldl
 * Use:    LD_PRELOAD=/path/libcurlfix.so syncevolution ...
 * Set VANTREL_CURLFIX_DEBUG=1 to have it say on stderr what it replaced.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* What we need from curl.h (not installed on the build machines). */
typedef void CURL;
typedef int CURLcode;
typedef int64_t curl_off_t;

enum {
    kTypeLong = 0,
    kTypeObject = 10000,
    kTypeFunction = 20000,
    kTypeOffT = 30000,
    kTypeBlob = 40000,
    kOptWriteData = kTypeObject + 1,
    kOptReadData = kTypeObject + 9,
    kOptWriteFunction = kTypeFunction + 11,
    kOptReadFunction = kTypeFunction + 12,
};

typedef CURLcode (*setopt_fn)(CURL *, int, ...);
typedef size_t (*member_io_fn)(void *self, void *buffer, size_t size);

static const char kWriteDataName[] = "_ZN7SyncEvo18CurlTransportAgent9writeDataEPvm";
static const char kReadDataName[] = "_ZN7SyncEvo18CurlTransportAgent8readDataEPvm";

static setopt_fn real_setopt;
static member_io_fn agent_write;
static member_io_fn agent_read;
static int debug;
static pthread_once_t init_once = PTHREAD_ONCE_INIT;

/* The agent object per curl handle; syncevolution uses one or two handles per process. */
#define MAX_HANDLES 16
struct handle_entry {
    CURL *handle;
    void *write_data;
    void *read_data;
};
static struct handle_entry handles[MAX_HANDLES];
static pthread_mutex_t handles_lock = PTHREAD_MUTEX_INITIALIZER;

static void init(void) {
    real_setopt = (setopt_fn)dlsym(RTLD_NEXT, "curl_easy_setopt");
    agent_write = (member_io_fn)dlsym(RTLD_DEFAULT, kWriteDataName);
    agent_read = (member_io_fn)dlsym(RTLD_DEFAULT, kReadDataName);
    const char *d = getenv("VANTREL_CURLFIX_DEBUG");
    debug = d != NULL && *d != '\0' && strcmp(d, "0") != 0;
    if (real_setopt == NULL) {
        fprintf(stderr, "curl_setopt_fix: curl_easy_setopt not found: %s\n", dlerror());
        abort();
    }
    if (debug) {
        fprintf(stderr, "curl_setopt_fix: loaded (writeData %p, readData %p)\n",
                (void *)agent_write, (void *)agent_read);
    }
}

static struct handle_entry *entry_for(CURL *handle, int create) {
    struct handle_entry *free_slot = NULL;
    for (int i = 0; i < MAX_HANDLES; ++i) {
        if (handles[i].handle == handle) return &handles[i];
        if (free_slot == NULL && handles[i].handle == NULL) free_slot = &handles[i];
    }
    if (!create) return NULL;
    if (free_slot == NULL) free_slot = &handles[0]; /* table full: reuse the oldest slot */
    memset(free_slot, 0, sizeof *free_slot);
    free_slot->handle = handle;
    return free_slot;
}

static void remember(CURL *handle, int option, void *object) {
    pthread_mutex_lock(&handles_lock);
    struct handle_entry *e = entry_for(handle, 1);
    if (option == kOptWriteData)
        e->write_data = object;
    else
        e->read_data = object;
    pthread_mutex_unlock(&handles_lock);
}

/* Fallback when libcurl gives us no userdata: the only agent we know of, if there is one. */
static void *remembered(int option) {
    void *found = NULL;
    pthread_mutex_lock(&handles_lock);
    for (int i = 0; i < MAX_HANDLES && found == NULL; ++i) {
        if (handles[i].handle == NULL) continue;
        found = option == kOptWriteData ? handles[i].write_data : handles[i].read_data;
    }
    pthread_mutex_unlock(&handles_lock);
    return found;
}

static size_t write_cb(char *ptr, size_t size, size_t nmemb, void *userdata) {
    void *agent = userdata != NULL ? userdata : remembered(kOptWriteData);
    if (agent == NULL || agent_write == NULL) return 0; /* libcurl reports a write error */
    return agent_write(agent, ptr, size * nmemb);
}

static size_t read_cb(char *ptr, size_t size, size_t nmemb, void *userdata) {
    void *agent = userdata != NULL ? userdata : remembered(kOptReadData);
    if (agent == NULL || agent_read == NULL) return 0x10000000; /* CURL_READFUNC_ABORT */
    return agent_read(agent, ptr, size * nmemb);
}

/* Only calls from the syncevolution library get their callbacks replaced. */
static int from_syncevolution(const void *caller) {
    Dl_info info;
    if (caller == NULL || dladdr(caller, &info) == 0 || info.dli_fname == NULL) return 0;
    return strstr(info.dli_fname, "libsyncevolution") != NULL;
}

CURLcode curl_easy_setopt(CURL *handle, int option, ...) {
    pthread_once(&init_once, init);
    const void *caller = __builtin_return_address(0);

    va_list ap;
    va_start(ap, option);
    CURLcode rc;
    if (option < kTypeObject) {
        long value = va_arg(ap, long);
        rc = real_setopt(handle, option, value);
    } else if (option < kTypeFunction || option >= kTypeBlob) {
        void *value = va_arg(ap, void *);
        if ((option == kOptWriteData || option == kOptReadData) && from_syncevolution(caller))
            remember(handle, option, value);
        rc = real_setopt(handle, option, value);
    } else if (option < kTypeOffT) {
        void *value = va_arg(ap, void *);
        if ((option == kOptWriteFunction || option == kOptReadFunction) &&
            from_syncevolution(caller)) {
            void *ours = option == kOptWriteFunction ? (void *)write_cb : (void *)read_cb;
            if (debug) {
                fprintf(stderr, "curl_setopt_fix: handle %p option %d: %p replaced by %p\n",
                        handle, option, value, ours);
            }
            value = ours;
        }
        rc = real_setopt(handle, option, value);
    } else {
        curl_off_t value = va_arg(ap, curl_off_t);
        rc = real_setopt(handle, option, value);
    }
    va_end(ap);
    return rc;
}
