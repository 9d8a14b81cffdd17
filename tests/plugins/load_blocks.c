/* A plug-in whose Load blocks: it waits until the file named by
 * OMBREVARD_LOAD_RELEASE exists, or until OMBREVARD_LOAD_BLOCK_MS
 * milliseconds have passed, whichever comes first. With neither variable set
 * Load returns at once. Lets a test hold the server inside its start-up for
 * as long as it needs, and let it go on again without waiting out the time.
 * Main thread only. */
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include "core/plugin_api.h"

static long long NowMs(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

PLUGIN_EXPORT int32_t Load(void* request, void* reply) {
  (void)request;
  PluginDescriptor* descriptor = (PluginDescriptor*)reply;
  descriptor->id = 0x424C4F4Bu; /* "BLOK" */
  const char* release = getenv("OMBREVARD_LOAD_RELEASE");
  const char* limit = getenv("OMBREVARD_LOAD_BLOCK_MS");
  long long deadline = NowMs() + (limit != NULL ? atoll(limit) : 0);
  /* Polls rather than sleeps once: a signal to the server must not cut the
   * wait short, and the release file must end it early. */
  while (NowMs() < deadline) {
    if (release != NULL && access(release, F_OK) == 0) break;
    struct timespec step = {0, 10 * 1000 * 1000};
    nanosleep(&step, NULL);
  }
  return 0;
}
