/*
 * A stand-in hardware access library for the Wine end-to-end run, shipped as
 * Qvzyl.Dll in a directory of its own: it has the initialisation export but
 * neither PCI export, so the service's count and query commands must report
 * the missing export (-106) and deliver their notice.
 */
#include <windows.h>

__declspec(dllexport) int QV_InitLibrary(void) {
  OutputDebugStringA("partial Qvzyl.Dll: QV_InitLibrary\n");
  return 1;
}
