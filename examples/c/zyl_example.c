/* Loads the hardware access library in the service, counts the adapter's PCI functions by their
 * subsystem and asks whether the first works. usage: zyl_example [runtime-dir] (Linux only) */
#include <stdio.h>
#include <zyl/zylclient.h>

/* The subsystem dword: subsystem ID << 16 | subsystem vendor ID (PCI register 0x2C). */
#define ADAPTER_SUBSYSTEM 0x81CE104Du /* subsystem 0x81CE, subsystem vendor 0x104D */

/* `result` is read after the call that fills it. */
static int check(const char* what, int status, const int32_t* result) {
  if (status != ZYL_STATUS_OK) {
    fprintf(stderr, "%s: %s\n", what, zyl_status_text(status));
    return 0;
  }
  printf("%s: result %d (%s)\n", what, (int)*result, zyl_result_text(*result));
  return 1;
}

int main(int argc, char** argv) {
  zyl_options options = {0};
  int32_t result = 0;
  uint32_t count = 0;
  uint16_t vendor = 0, device = 0;
  options.size = sizeof options;
  if (argc > 1) options.runtime_dir = argv[1];

  if (!check("load", zyl_load(&result, &options), &result)) return 1;
  if (!check("count",
             zyl_count_by_subsystem(ADAPTER_SUBSYSTEM, &result, &count, &vendor, &device, &options),
             &result)) {
    return 1;
  }
  printf("count: %u, the first %04X:%04X\n", (unsigned)count, vendor, device);
  if (count > 0 &&
      !check("query", zyl_query(0, ADAPTER_SUBSYSTEM, 0, &result, &options), &result)) {
    return 1;
  }
  return 0;
}
