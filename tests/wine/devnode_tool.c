/*
 * devnode_tool: puts device nodes into Wine's device tree (the registry's Enum
 * key, which SetupAPI lists), so the service's device-node operations have an
 * adapter to find.
 *
 *   devnode_tool add INSTANCE_ID DRIVER_KEY HWID [HWID...]
 *       register a System-class node with that instance ID and hardware-ID
 *       list; DRIVER_KEY 1 also creates its driver key (SPDRP_DRIVER), 0 not
 *   devnode_tool remove INSTANCE_ID   delete the node (DIF_REMOVE)
 *   devnode_tool count HWID           number of listed nodes whose first
 *                                     hardware ID is HWID (exactly)
 *
 * Exit status 0 on success, 1 on failure (the Win32 error is printed), 2 on
 * bad usage.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
/* clang-format off */
#include <windows.h>
#include <setupapi.h>
#include <devguid.h>
/* clang-format on */

static wchar_t *Widen(const char *text) {
  int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, NULL, 0);
  wchar_t *wide = malloc(sizeof(wchar_t) * (size_t)n);
  if (wide) MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, n);
  return wide;
}

static int Failed(const char *what) {
  printf("%s failed: %lu\n", what, GetLastError());
  return 1;
}

static int Add(const char *instance, int driver_key, int n_ids, char **ids) {
  GUID system_class = GUID_DEVCLASS_SYSTEM;
  SP_DEVINFO_DATA node;
  HDEVINFO set;
  wchar_t *instance_w = Widen(instance);
  wchar_t *multi_sz;
  size_t total = 1, used = 0;
  int i, rc = 0;

  for (i = 0; i < n_ids; ++i) total += strlen(ids[i]) + 1;
  multi_sz = calloc(total, sizeof(wchar_t));
  for (i = 0; i < n_ids; ++i) {
    wchar_t *id = Widen(ids[i]);
    wcscpy(multi_sz + used, id);
    used += wcslen(id) + 1;
    free(id);
  }

  set = SetupDiCreateDeviceInfoList(&system_class, NULL);
  if (set == INVALID_HANDLE_VALUE) return Failed("SetupDiCreateDeviceInfoList");
  memset(&node, 0, sizeof node);
  node.cbSize = sizeof node;
  if (!SetupDiCreateDeviceInfoW(set, instance_w, &system_class, L"Wine bed adapter node", NULL, 0,
                                &node)) {
    rc = Failed("SetupDiCreateDeviceInfoW");
  } else if (!SetupDiSetDeviceRegistryPropertyW(set, &node, SPDRP_HARDWAREID, (BYTE *)multi_sz,
                                                (DWORD)(total * sizeof(wchar_t)))) {
    rc = Failed("SetupDiSetDeviceRegistryPropertyW(SPDRP_HARDWAREID)");
  } else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &node)) {
    rc = Failed("SetupDiCallClassInstaller(DIF_REGISTERDEVICE)");
  } else if (driver_key) {
    HKEY key = SetupDiCreateDevRegKeyW(set, &node, DICS_FLAG_GLOBAL, 0, DIREG_DRV, NULL, NULL);
    if (key == INVALID_HANDLE_VALUE) {
      rc = Failed("SetupDiCreateDevRegKeyW(DIREG_DRV)");
    } else {
      RegCloseKey(key);
    }
  }
  if (rc == 0) printf("added %s (driver key: %s)\n", instance, driver_key ? "yes" : "no");
  SetupDiDestroyDeviceInfoList(set);
  free(multi_sz);
  free(instance_w);
  return rc;
}

static int Remove(const char *instance) {
  SP_DEVINFO_DATA node;
  HDEVINFO set = SetupDiCreateDeviceInfoList(NULL, NULL);
  wchar_t *instance_w = Widen(instance);
  int rc = 0;
  if (set == INVALID_HANDLE_VALUE) return Failed("SetupDiCreateDeviceInfoList");
  memset(&node, 0, sizeof node);
  node.cbSize = sizeof node;
  if (!SetupDiOpenDeviceInfoW(set, instance_w, NULL, 0, &node)) {
    rc = Failed("SetupDiOpenDeviceInfoW");
  } else if (!SetupDiCallClassInstaller(DIF_REMOVE, set, &node)) {
    rc = Failed("SetupDiCallClassInstaller(DIF_REMOVE)");
  } else {
    printf("removed %s\n", instance);
  }
  SetupDiDestroyDeviceInfoList(set);
  free(instance_w);
  return rc;
}

/* Counts what the service would see: present nodes of all classes. */
static int Count(const char *hardware_id) {
  SP_DEVINFO_DATA node;
  HDEVINFO set = SetupDiGetClassDevsW(NULL, NULL, NULL, DIGCF_PRESENT | DIGCF_ALLCLASSES);
  wchar_t *wanted = Widen(hardware_id);
  DWORD index, nodes = 0, matches = 0;
  if (set == INVALID_HANDLE_VALUE) return Failed("SetupDiGetClassDevsW");
  memset(&node, 0, sizeof node);
  node.cbSize = sizeof node;
  for (index = 0; SetupDiEnumDeviceInfo(set, index, &node); ++index) {
    wchar_t ids[1024];
    memset(ids, 0, sizeof ids);
    ++nodes;
    if (SetupDiGetDeviceRegistryPropertyW(set, &node, SPDRP_HARDWAREID, NULL, (BYTE *)ids,
                                          sizeof ids - sizeof(wchar_t), NULL) &&
        wcscmp(ids, wanted) == 0) {
      ++matches;
    }
  }
  printf("nodes %lu matching %lu\n", nodes, matches);
  SetupDiDestroyDeviceInfoList(set);
  free(wanted);
  return 0;
}

static int Usage(void) {
  printf(
      "usage: devnode_tool add INSTANCE_ID DRIVER_KEY(0|1) HWID [HWID...]\n"
      "       devnode_tool remove INSTANCE_ID\n"
      "       devnode_tool count HWID\n");
  return 2;
}

int main(int argc, char **argv) {
  setvbuf(stdout, NULL, _IONBF, 0);
  if (argc >= 5 && !strcmp(argv[1], "add")) {
    if (strcmp(argv[3], "0") != 0 && strcmp(argv[3], "1") != 0) return Usage();
    return Add(argv[2], argv[3][0] == '1', argc - 4, argv + 4);
  }
  if (argc == 3 && !strcmp(argv[1], "remove")) return Remove(argv[2]);
  if (argc == 3 && !strcmp(argv[1], "count")) return Count(argv[2]);
  return Usage();
}
