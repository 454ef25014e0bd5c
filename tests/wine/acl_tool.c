/*
 * acl_tool: gives a file or folder the access list an installer would give it, for the Wine
 * scenarios. Wine makes up a file's security from its Unix mode until one is set, and keeps
 * one that was set; its icacls changes nothing.
 *
 *   acl_tool set PATH SDDL   the DACL of SDDL, protected from inheritance
 *   acl_tool show PATH       print the owner and DACL in SDDL form
 *
 * Exit status 0 on success, 1 on failure, 2 on bad usage.
 */
#include <aclapi.h>
#include <sddl.h>
#include <stdio.h>
#include <wchar.h>
#include <windows.h>

static int Set(const wchar_t* path, const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR descriptor = NULL;
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = NULL;
  DWORD status;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                            NULL)) {
    fwprintf(stderr, L"bad SDDL %ls: %lu\n", sddl, GetLastError());
    return 1;
  }
  GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
  status = SetNamedSecurityInfoW((wchar_t*)path, SE_FILE_OBJECT,
                                 DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                 NULL, NULL, dacl, NULL);
  LocalFree(descriptor);
  if (status != ERROR_SUCCESS) {
    fwprintf(stderr, L"SetNamedSecurityInfoW %ls: %lu\n", path, status);
    return 1;
  }
  return 0;
}

static int Show(const wchar_t* path) {
  PSECURITY_DESCRIPTOR descriptor = NULL;
  wchar_t* text = NULL;
  const SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  DWORD status =
      GetNamedSecurityInfoW(path, SE_FILE_OBJECT, what, NULL, NULL, NULL, NULL, &descriptor);
  if (status != ERROR_SUCCESS) {
    fwprintf(stderr, L"GetNamedSecurityInfoW %ls: %lu\n", path, status);
    return 1;
  }
  if (ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, what, &text,
                                                           NULL)) {
    wprintf(L"%ls %ls\n", path, text);
    LocalFree(text);
  }
  LocalFree(descriptor);
  return 0;
}

int wmain(int argc, wchar_t** argv) {
  if (argc == 4 && wcscmp(argv[1], L"set") == 0) return Set(argv[2], argv[3]);
  if (argc == 3 && wcscmp(argv[1], L"show") == 0) return Show(argv[2]);
  fwprintf(stderr, L"usage: acl_tool set PATH SDDL | acl_tool show PATH\n");
  return 2;
}
