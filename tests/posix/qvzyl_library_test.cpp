// The built shared libraries, loaded by file name as the service loads them: the shipped
// libqvzyl.so on this machine's bus, and the simulated test library on a replayed dump.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

using InitFunction = int32_t (*)();
using CountFunction = int32_t (*)(int32_t, int32_t, int32_t*, int32_t*);
using CommandFunction = int32_t (*)(int32_t, int32_t, int32_t, int32_t*);

// Kept mapped after dlclose, as the service keeps it: the library's process-lifetime objects stay
// reachable instead of showing as leaks.
class LoadedLibrary {
 public:
  explicit LoadedLibrary(const std::string& path)
      : handle_(::access(path.c_str(), R_OK) == 0
                    ? ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE)
                    : nullptr) {}
  ~LoadedLibrary() {
    if (handle_ != nullptr) ::dlclose(handle_);
  }
  bool loaded() const { return handle_ != nullptr; }
  template <typename T>
  T Find(const char* name) const {
    return reinterpret_cast<T>(::dlsym(handle_, name));
  }

 private:
  void* handle_;
};

TEST(QvzylSharedLibraryTest, TheShippedLibraryScansThisMachine) {
  LoadedLibrary library(ZYL_BINARY_DIR "/hwaccess/libqvzyl.so");
  if (!library.loaded()) GTEST_SKIP() << "libqvzyl.so is not built";
  auto init = library.Find<InitFunction>("QV_InitLibrary");
  auto count = library.Find<CountFunction>("QV_GetPciDeviceCount");
  auto fortyTwo = library.Find<InitFunction>("fnQVACS");
  ASSERT_NE(init, nullptr);
  ASSERT_NE(count, nullptr);
  EXPECT_EQ(fortyTwo(), 42);
  EXPECT_EQ(library.Find<void*>("SearchPCIConfig"), nullptr);       // members only mangled
  EXPECT_EQ(library.Find<void*>("_ZN8hwaccess5StateEv"), nullptr);  // nothing internal
  auto exit = library.Find<InitFunction>("QV_ExitLibrary");
  ASSERT_EQ(init(), 1);
  // Function 0 of device 00:00 exists on every PC; its ID is found once more by ID.
  FILE* config = std::fopen("/sys/bus/pci/devices/0000:00:00.0/config", "rb");
  if (config == nullptr) {
    exit();
    GTEST_SKIP() << "no 00:00.0 here";
  }
  uint8_t bytes[4] = {};
  ASSERT_EQ(std::fread(bytes, 1, 4, config), 4u);
  std::fclose(config);
  const int32_t id = static_cast<int32_t>(bytes[0] | bytes[1] << 8 | bytes[2] << 16 |
                                          static_cast<uint32_t>(bytes[3]) << 24);
  int32_t n = -1, found = 0;
  EXPECT_EQ(count(id, 0, &n, &found), 1);
  EXPECT_GE(n, 1);
  EXPECT_EQ(exit(), 1);
}

TEST(QvzylSharedLibraryTest, TheSimulatedLibraryReplaysItsTopology) {
  ::setenv("ZYL_SIM_PCI_TOPOLOGY", ZYL_TEST_DATA_DIR "/pci/qemu-virtio.txt", 1);
  LoadedLibrary library(ZYL_BINARY_DIR "/sim/libqvzyl.so");
  if (!library.loaded()) GTEST_SKIP() << "sim/libqvzyl.so is not built";
  auto init = library.Find<InitFunction>("QV_InitLibrary");
  auto count = library.Find<CountFunction>("QV_GetPciDeviceCount");
  auto command = library.Find<CommandFunction>("QV_GetPciCommandReg");
  ASSERT_EQ(init(), 1);
  int32_t n = -1, found = 0;
  EXPECT_EQ(count(0x10411AF4, 0, &n, &found), 1);  // the network function at 00:03.0
  EXPECT_EQ(n, 1);
  int32_t value = -1;
  EXPECT_EQ(command(0x10411AF4, 0, 0, &value), 1);
  EXPECT_GE(value, 0);
  EXPECT_LE(value, 255);
  EXPECT_EQ(command(0x10411AF4, 0, 1, &value), -11);
  EXPECT_EQ(library.Find<InitFunction>("QV_ExitLibrary")(), 1);
  ::unsetenv("ZYL_SIM_PCI_TOPOLOGY");
}

}  // namespace
