/*
 * ioctl_probe: checks the Wine test bed's port-I/O test driver with plain
 * Win32 calls and nothing of the product, so a failure here points at the bed.
 *
 *   ioctl_probe install [SYS_PATH]  install "qvzyl64" (kernel driver, demand
 *                                   start; default: qvzyl64.sys beside this
 *                                   program), start it, wait for \\.\QVZYLSYS
 *   ioctl_probe stop                stop the driver service, wait until stopped
 *   ioctl_probe remove              stop and delete the driver service
 *   ioctl_probe state               print ABSENT, STOPPED, RUNNING, ...
 *   ioctl_probe checks              buffer-size, latch, enable-bit, counter checks
 *   ioctl_probe counter reset|read  zero the driver's transfer counter, or
 *                                   print "transfers N" (N since the reset)
 *   ioctl_probe scan BUSES [EXPECT...]
 *       config-read register 0x00 of every function on buses 0..BUSES-1
 *       (2 transfers each, a fresh event per transfer, as the product does),
 *       print the time taken and the functions found, and compare them with
 *       EXPECT, each "bb:dd.f=vvvv:dddd": the found set must equal the expected
 *       set. BUSES 256 is the full 131,072-transfer walk.
 *
 * Exit status 0 on success, 1 on a mismatch or failure, 2 on bad usage.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#define kDriverName "qvzyl64"
#define kDeviceName "\\\\.\\QVZYLSYS"
#define IOCTL_PORT_READ 0x9C402410u
#define IOCTL_PORT_WRITE 0x9C402414u
#define kConfigAddressPort 0xCF8u
#define kConfigDataPort 0xCFCu
#define kCounterPort 0xCF0u
#define kWaitMs 20000u
#define kMaxExpected 4096
#define kMaxFound 65536

typedef struct Expectation {
  unsigned bdf; /* bus << 8 | device << 3 | function */
  DWORD id;     /* device << 16 | vendor, as register 0x00 reads */
  int seen;
} Expectation;

static double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
  LARGE_INTEGER freq;
  QueryPerformanceFrequency(&freq);
  return (double)(to.QuadPart - from.QuadPart) / (double)freq.QuadPart;
}

static LARGE_INTEGER Now(void) {
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return t;
}

/* One transfer, shaped like the product's: fresh event, OVERLAPPED, wait. */
static BOOL Transfer(HANDLE device, DWORD code, void *in, DWORD in_size, DWORD *out) {
  OVERLAPPED overlapped;
  DWORD returned = 0;
  BOOL ok;
  HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
  if (!event) return FALSE;
  SetEvent(event);
  memset(&overlapped, 0, sizeof overlapped);
  overlapped.hEvent = event;
  *out = 0;
  ok = DeviceIoControl(device, code, in, in_size, out, sizeof *out, &returned, &overlapped);
  WaitForSingleObject(event, kWaitMs);
  ResetEvent(event);
  CloseHandle(event);
  return ok && returned == sizeof *out;
}

static int g_transfer_failures;

static DWORD ReadPort(HANDLE device, unsigned port) {
  unsigned char in[2] = {(unsigned char)port, (unsigned char)(port >> 8)};
  DWORD value;
  if (!Transfer(device, IOCTL_PORT_READ, in, sizeof in, &value)) ++g_transfer_failures;
  return value;
}

static void WritePort(HANDLE device, unsigned port, DWORD value) {
  unsigned char in[76];
  DWORD out;
  memset(in, 0xA5, sizeof in); /* the reserved bytes must not matter */
  memcpy(in + 0, &port, 4);
  memcpy(in + 8, &value, 4);
  if (!Transfer(device, IOCTL_PORT_WRITE, in, sizeof in, &out)) ++g_transfer_failures;
}

static DWORD ConfigRead(HANDLE device, unsigned bdf, unsigned reg) {
  WritePort(device, kConfigAddressPort, 0x80000000u | bdf << 8 | reg);
  return ReadPort(device, kConfigDataPort);
}

static HANDLE OpenDevice(void) {
  return CreateFileA(kDeviceName, FILE_READ_DATA | FILE_WRITE_DATA, 0, NULL, CREATE_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, NULL);
}

static SC_HANDLE OpenDriverService(SC_HANDLE *manager) {
  SC_HANDLE service;
  *manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
  if (!*manager) {
    printf("OpenSCManagerA failed: %lu\n", GetLastError());
    return NULL;
  }
  service = OpenServiceA(*manager, kDriverName, SERVICE_ALL_ACCESS);
  if (!service) {
    DWORD error = GetLastError();
    CloseServiceHandle(*manager);
    *manager = NULL;
    SetLastError(error);
  }
  return service;
}

static const char *StateName(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED:
      return "STOPPED";
    case SERVICE_START_PENDING:
      return "START_PENDING";
    case SERVICE_STOP_PENDING:
      return "STOP_PENDING";
    case SERVICE_RUNNING:
      return "RUNNING";
    default:
      return "OTHER";
  }
}

static DWORD WaitForState(SC_HANDLE service, DWORD wanted, DWORD timeout_ms) {
  SERVICE_STATUS status;
  DWORD waited = 0;
  for (;;) {
    memset(&status, 0, sizeof status);
    if (!QueryServiceStatus(service, &status)) return 0;
    if (status.dwCurrentState == wanted || waited >= timeout_ms) return status.dwCurrentState;
    Sleep(50);
    waited += 50;
  }
}

static int Install(const char *sys_path) {
  char path[MAX_PATH];
  SC_HANDLE manager, service;
  HANDLE device = INVALID_HANDLE_VALUE;
  LARGE_INTEGER start;
  DWORD state, error, waited = 0;

  if (sys_path) {
    snprintf(path, sizeof path, "%s", sys_path);
  } else {
    char *slash;
    DWORD n = GetModuleFileNameA(NULL, path, sizeof path);
    if (n == 0 || n >= sizeof path || !(slash = strrchr(path, '\\'))) return 1;
    snprintf(slash + 1, sizeof path - (size_t)(slash + 1 - path), "%s.sys", kDriverName);
  }
  manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
  if (!manager) {
    printf("OpenSCManagerA failed: %lu\n", GetLastError());
    return 1;
  }
  service = CreateServiceA(manager, kDriverName, kDriverName, SERVICE_ALL_ACCESS,
                           SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, path,
                           NULL, NULL, NULL, NULL, NULL);
  if (service) {
    printf("installed %s from %s\n", kDriverName, path);
  } else if (GetLastError() == ERROR_SERVICE_EXISTS) {
    printf("%s already installed\n", kDriverName);
    service = OpenServiceA(manager, kDriverName, SERVICE_ALL_ACCESS);
  }
  if (!service) {
    printf("CreateServiceA/OpenServiceA failed: %lu\n", GetLastError());
    CloseServiceHandle(manager);
    return 1;
  }
  start = Now();
  /* The service manager refuses starts while another start holds its lock. */
  for (;;) {
    error = StartServiceA(service, 0, NULL) ? ERROR_SUCCESS : GetLastError();
    if (error != ERROR_SERVICE_DATABASE_LOCKED || waited >= 30000) break;
    printf("StartServiceA: database locked, retrying\n");
    Sleep(200);
    waited += 200;
  }
  if (error != ERROR_SUCCESS && error != ERROR_SERVICE_ALREADY_RUNNING) {
    printf("StartServiceA failed: %lu\n", error);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 1;
  }
  state = WaitForState(service, SERVICE_RUNNING, 10000);
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  if (state != SERVICE_RUNNING) {
    printf("driver service state %s, not RUNNING\n", StateName(state));
    return 1;
  }
  waited = 0;
  while ((device = OpenDevice()) == INVALID_HANDLE_VALUE && waited < 10000) {
    Sleep(50);
    waited += 50;
  }
  if (device == INVALID_HANDLE_VALUE) {
    printf("%s does not open: %lu\n", kDeviceName, GetLastError());
    return 1;
  }
  CloseHandle(device);
  printf("driver running, device open after %.3f s\n", Seconds(start, Now()));
  return 0;
}

static int StopOrRemove(int remove) {
  SC_HANDLE manager, service = OpenDriverService(&manager);
  SERVICE_STATUS status;
  DWORD state;
  int result = 0;
  if (!service) {
    printf("%s not installed (%lu)\n", kDriverName, GetLastError());
    return remove ? 0 : 1;
  }
  if (!ControlService(service, SERVICE_CONTROL_STOP, &status) &&
      GetLastError() != ERROR_SERVICE_NOT_ACTIVE) {
    printf("ControlService(STOP) failed: %lu\n", GetLastError());
    result = 1;
  }
  state = WaitForState(service, SERVICE_STOPPED, 10000);
  printf("driver service %s\n", StateName(state));
  if (state != SERVICE_STOPPED) result = 1;
  if (remove) {
    if (DeleteService(service)) {
      printf("driver service deleted\n");
    } else {
      printf("DeleteService failed: %lu\n", GetLastError());
      result = 1;
    }
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return result;
}

static int PrintState(void) {
  SC_HANDLE manager, service = OpenDriverService(&manager);
  SERVICE_STATUS status;
  if (!service) {
    printf("ABSENT\n");
    return 0;
  }
  memset(&status, 0, sizeof status);
  QueryServiceStatus(service, &status);
  printf("%s\n", StateName(status.dwCurrentState));
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return 0;
}

static int g_check_failures;

static void Check(int ok, const char *what) {
  printf("%s: %s\n", ok ? "ok  " : "FAIL", what);
  if (!ok) ++g_check_failures;
}

/* A request the driver must refuse, with the Win32 error it must map to. */
static void CheckRejected(HANDLE device, DWORD code, DWORD in_size, DWORD out_size,
                          DWORD want_error, const char *what) {
  unsigned char in[128], out[16];
  DWORD returned = 0;
  BOOL ok;
  memset(in, 0, sizeof in);
  ok = DeviceIoControl(device, code, in, in_size, out, out_size, &returned, NULL);
  if (ok || GetLastError() != want_error) printf("      got ok=%d error=%lu\n", ok, GetLastError());
  Check(!ok && GetLastError() == want_error, what);
}

static int RunChecks(HANDLE device) {
  DWORD count;
  CheckRejected(device, IOCTL_PORT_READ, 4, 4, ERROR_INVALID_PARAMETER, "read, 4-byte input");
  CheckRejected(device, IOCTL_PORT_READ, 2, 8, ERROR_INVALID_PARAMETER, "read, 8-byte output");
  CheckRejected(device, IOCTL_PORT_WRITE, 8, 4, ERROR_INVALID_PARAMETER, "write, 8-byte input");
  CheckRejected(device, IOCTL_PORT_WRITE, 76, 0, ERROR_INVALID_PARAMETER, "write, no output");
  CheckRejected(device, 0x9C402418u, 2, 4, ERROR_INVALID_FUNCTION, "unknown control code");

  WritePort(device, kCounterPort, 0);
  Check(ReadPort(device, kCounterPort) == 0, "counter reset by a write to 0xCF0");
  WritePort(device, kConfigAddressPort, 0x00000000u);
  Check(ReadPort(device, kConfigDataPort) == 0xFFFFFFFFu, "0xCFC reads all ones, enable bit clear");
  WritePort(device, kConfigAddressPort, 0x80FFF8FCu);
  Check(ReadPort(device, kConfigAddressPort) == 0x80FFF8FCu, "0xCF8 reads back the latch");
  Check(ReadPort(device, 0x80) == 0, "other ports read 0");
  count = ReadPort(device, kCounterPort);
  printf("      counter %lu\n", count);
  Check(count == 5, "counter: 5 transfers since reset, refused requests not counted");
  Check(g_transfer_failures == 0, "no transfer failed");
  return g_check_failures ? 1 : 0;
}

static int ParseExpectation(const char *text, Expectation *e) {
  unsigned bus, dev, fn, vendor, device;
  char tail;
  if (sscanf(text, "%x:%x.%x=%x:%x%c", &bus, &dev, &fn, &vendor, &device, &tail) != 5 ||
      bus > 255 || dev > 31 || fn > 7 || vendor > 0xFFFF || device > 0xFFFF)
    return 0;
  e->bdf = bus << 8 | dev << 3 | fn;
  e->id = (DWORD)device << 16 | vendor;
  e->seen = 0;
  return 1;
}

static int Scan(HANDLE device, unsigned buses, Expectation *expected, int n_expected) {
  static unsigned found_bdf[kMaxFound];
  static DWORD found_id[kMaxFound];
  unsigned bdf, end = buses * 256u;
  int n_found = 0, mismatches = 0, i, j;
  DWORD counter;
  LARGE_INTEGER start, stop;
  double seconds;

  WritePort(device, kCounterPort, 0);
  start = Now();
  for (bdf = 0; bdf < end; ++bdf) {
    DWORD id = ConfigRead(device, bdf, 0x00);
    if (id != 0xFFFFFFFFu) {
      found_bdf[n_found] = bdf;
      found_id[n_found++] = id;
    }
  }
  stop = Now();
  counter = ReadPort(device, kCounterPort);
  seconds = Seconds(start, stop);
  printf("scan of %u buses: %u transfers in %.3f s, %.1f us per transfer (driver counted %lu)\n",
         buses, end * 2, seconds, seconds * 1e6 / (end * 2.0), counter);
  if (counter != end * 2) {
    printf("FAIL: the driver counted %lu transfers, the scan made %u\n", counter, end * 2);
    ++mismatches;
  }

  for (i = 0; i < n_found; ++i) {
    unsigned b = found_bdf[i];
    DWORD sub = ConfigRead(device, b, 0x2C), cmd = ConfigRead(device, b, 0x04);
    int wanted = 0;
    for (j = 0; j < n_expected; ++j) {
      if (expected[j].bdf != b) continue;
      expected[j].seen = 1;
      wanted = expected[j].id == found_id[i] ? 1 : -1;
      if (wanted < 0)
        printf("FAIL: %02x:%02x.%x expected %04lx:%04lx\n", b >> 8, (b >> 3) & 31, b & 7,
               expected[j].id & 0xFFFF, expected[j].id >> 16);
    }
    printf("%02x:%02x.%x %04lx:%04lx sub %04lx:%04lx cmd %04lx%s\n", b >> 8, (b >> 3) & 31, b & 7,
           found_id[i] & 0xFFFF, found_id[i] >> 16, sub & 0xFFFF, sub >> 16, cmd & 0xFFFF,
           n_expected == 0 ? ""
           : wanted == 1   ? ""
           : wanted == 0   ? "  <- unexpected"
                           : "  <- wrong ID");
    if (n_expected && wanted != 1) ++mismatches;
  }
  for (j = 0; j < n_expected; ++j) {
    unsigned b = expected[j].bdf;
    if (expected[j].seen) continue;
    if ((b >> 8) >= buses) {
      printf("note: %02x:%02x.%x lies beyond the scanned buses\n", b >> 8, (b >> 3) & 31, b & 7);
      continue;
    }
    printf("FAIL: %02x:%02x.%x %04lx:%04lx expected, not found\n", b >> 8, (b >> 3) & 31, b & 7,
           expected[j].id & 0xFFFF, expected[j].id >> 16);
    ++mismatches;
  }
  if (g_transfer_failures) printf("FAIL: %d transfers failed\n", g_transfer_failures);
  printf("%d functions found, %d mismatches\n", n_found, mismatches);
  return mismatches || g_transfer_failures ? 1 : 0;
}

/* Lets a test count the transfers another process (the product) makes. */
static int Counter(HANDLE device, int reset) {
  if (reset) {
    WritePort(device, kCounterPort, 0);
  } else {
    printf("transfers %lu\n", (unsigned long)ReadPort(device, kCounterPort));
  }
  return g_transfer_failures ? 1 : 0;
}

static int Usage(void) {
  printf(
      "usage: ioctl_probe install [SYS_PATH] | stop | remove | state | checks |\n"
      "       counter reset|read | scan BUSES [bb:dd.f=vvvv:dddd ...]\n");
  return 2;
}

int main(int argc, char **argv) {
  static Expectation expected[kMaxExpected];
  HANDLE device;
  int result, i, n_expected = 0;
  unsigned long buses = 0;

  setvbuf(stdout, NULL, _IONBF, 0);
  if (argc < 2) return Usage();
  if (!strcmp(argv[1], "install")) return Install(argc > 2 ? argv[2] : NULL);
  if (!strcmp(argv[1], "stop")) return StopOrRemove(0);
  if (!strcmp(argv[1], "remove")) return StopOrRemove(1);
  if (!strcmp(argv[1], "state")) return PrintState();
  if (!strcmp(argv[1], "scan")) {
    char *end;
    if (argc < 3) return Usage();
    buses = strtoul(argv[2], &end, 0);
    if (*end || buses < 1 || buses > 256) return Usage();
    for (i = 3; i < argc; ++i) {
      if (n_expected == kMaxExpected || !ParseExpectation(argv[i], &expected[n_expected++])) {
        printf("bad expectation '%s'\n", argv[i]);
        return 2;
      }
    }
  } else if (!strcmp(argv[1], "counter")) {
    if (argc != 3 || (strcmp(argv[2], "reset") != 0 && strcmp(argv[2], "read") != 0)) {
      return Usage();
    }
  } else if (strcmp(argv[1], "checks") != 0) {
    return Usage();
  }

  device = OpenDevice();
  if (device == INVALID_HANDLE_VALUE) {
    printf("%s does not open: %lu\n", kDeviceName, GetLastError());
    return 1;
  }
  if (!strcmp(argv[1], "counter")) {
    result = Counter(device, !strcmp(argv[2], "reset"));
  } else {
    result = buses ? Scan(device, (unsigned)buses, expected, n_expected) : RunChecks(device);
  }
  CloseHandle(device);
  return result;
}
