// The Windows library loader held to the LibraryLoader contract: ZylTestLib.Dll is built
// beside win32_tests.exe.
#include "contract/library_loader_contract.h"

namespace {

class Win32LibraryLoaderBinding {
 public:
  platform::LibraryLoader& Loader() { return platform::SystemLibraryLoader(); }
  std::u16string ProgramFileName() { return u"win32_tests.exe"; }
};

}  // namespace

namespace zyltest {
INSTANTIATE_TYPED_TEST_SUITE_P(Win32, LibraryLoaderContract, Win32LibraryLoaderBinding);
}  // namespace zyltest
