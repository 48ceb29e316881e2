/* Preloaded into a command (LD_PRELOAD) to record its peak resident memory:
 * at exit it appends the process's VmHWM, in KiB, to the file named by
 * VTL_PEAK_RSS_FILE. wait4's ru_maxrss cannot serve: after fork and exec it
 * still counts the parent's memory. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

__attribute__((destructor)) static void vtl_record_peak(void) {
  const char* path = getenv("VTL_PEAK_RSS_FILE");
  if (path == NULL) return;
  FILE* status = fopen("/proc/self/status", "r");
  if (status == NULL) return;
  char line[256];
  long peak = -1;
  while (fgets(line, sizeof line, status) != NULL)
    if (strncmp(line, "VmHWM:", 6) == 0) peak = strtol(line + 6, NULL, 10);
  fclose(status);
  FILE* out = fopen(path, "a");
  if (out == NULL) return;
  fprintf(out, "%ld\n", peak);
  fclose(out);
}
