/* The shared library unloaded under threads that called it, as a host with
 * plug-ins does: what win_host.c --unload does with the DLL under Wine.
 *
 *   vtl_unload_test LIBRARY
 *
 * A thread loads LIBRARY, makes a call (a bad argument: no network), reads
 * the detail, unloads it and ends. Then another thread calls the library
 * the main thread loaded, the main thread unloads it and loads it again,
 * and that thread must read an empty detail from the library as it is now
 * before it ends. Each dlclose must unload the library: a thread-exit
 * destructor in it would keep it (glibc) or crash at the thread's end. */
#define _POSIX_C_SOURCE 200809L
#include <dlfcn.h>
#include <pthread.h>
#include <semaphore.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

typedef int32_t (*SendProc)(const char*, const char*, const char*, const char*, const char*,
                            const char*, const char*);
typedef int32_t (*LastErrorProc)(char*, int32_t);

enum { kDetailSize = 1025 };

static const char* g_path;
static void* g_library; /* the second thread's, loaded by the main thread */
static void* g_again;   /* the same, loaded again */
static sem_t g_called;
static sem_t g_unloaded;
static int g_failed;
static char g_detail[2][kDetailSize];

/* dlsym's object pointer as a function pointer, which ISO C has no cast for. */
static void Symbol(void* library, const char* name, void* function, size_t size) {
  void* address = dlsym(library, name);
  memcpy(function, &address, size);
}

static int Loaded(void) {
  void* library = dlopen(g_path, RTLD_NOW | RTLD_NOLOAD);
  if (library == NULL) return 0;
  dlclose(library);
  return 1;
}

/* VTLSendMail with a bad argument, and its detail read into `detail`. */
static int CallAndRead(void* library, const char* server, const char* from, char* detail) {
  SendProc send = NULL;
  LastErrorProc last = NULL;
  int32_t length;
  Symbol(library, "VTLSendMail", &send, sizeof send);
  Symbol(library, "VTLLastError", &last, sizeof last);
  if (send == NULL || last == NULL) return 0;
  if (send(server, from, "A", "b@example.com", "B", "S", "x") != 5) return 0;
  length = last(NULL, 0);
  return length > 0 && length < kDetailSize && last(detail, kDetailSize) == length &&
         strlen(detail) == (size_t)length;
}

static void* LoadCallUnload(void* unused) {
  void* library = dlopen(g_path, RTLD_NOW | RTLD_LOCAL);
  (void)unused;
  if (library == NULL || !CallAndRead(library, "", "a@example.com", g_detail[0])) g_failed = 1;
  if (library != NULL) dlclose(library);
  return NULL;
}

static void* CallThenOutliveTheLibrary(void* unused) {
  LastErrorProc last = NULL;
  (void)unused;
  if (!CallAndRead(g_library, "127.0.0.1", NULL, g_detail[1])) g_failed = 1;
  sem_post(&g_called);
  while (sem_wait(&g_unloaded) != 0) continue;
  if (g_again != NULL) Symbol(g_again, "VTLLastError", &last, sizeof last);
  if (last == NULL || last(NULL, 0) != 0) g_failed = 1;
  return NULL;
}

int main(int argc, char** argv) {
  pthread_t thread;
  int unloaded;
  if (argc != 2) {
    fprintf(stderr, "usage: vtl_unload_test LIBRARY\n");
    return 2;
  }
  g_path = argv[1];
  if (pthread_create(&thread, NULL, LoadCallUnload, NULL) != 0) return 3;
  pthread_join(thread, NULL);
  if (g_failed) return fprintf(stderr, "the first thread's call failed\n"), 1;
  if (Loaded()) return fprintf(stderr, "dlclose left %s loaded\n", g_path), 1;

  g_library = dlopen(g_path, RTLD_NOW | RTLD_LOCAL);
  if (g_library == NULL) return fprintf(stderr, "%s\n", dlerror()), 1;
  if (sem_init(&g_called, 0, 0) != 0 || sem_init(&g_unloaded, 0, 0) != 0) return 3;
  if (pthread_create(&thread, NULL, CallThenOutliveTheLibrary, NULL) != 0) return 3;
  while (sem_wait(&g_called) != 0) continue;
  dlclose(g_library);
  unloaded = !Loaded();
  g_again = dlopen(g_path, RTLD_NOW | RTLD_LOCAL);
  sem_post(&g_unloaded);
  pthread_join(thread, NULL);
  if (g_again != NULL) dlclose(g_again);
  if (g_failed) return fprintf(stderr, "the second thread's calls failed\n"), 1;
  if (!unloaded) return fprintf(stderr, "dlclose left %s loaded under a thread\n", g_path), 1;
  printf("detail 1: %s\ndetail 2: %s\nthreads ended after the unload\n", g_detail[0], g_detail[1]);
  return 0;
}
