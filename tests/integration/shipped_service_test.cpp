// The shipped Linux program, installed with its library in one folder as the unit file says, on
// this machine's real PCI bus and device tree. Nothing here can change a device: no device on a
// machine without the adapter carries one of the adapter's hardware IDs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <regex>

#include "support/process.h"

namespace {

namespace fs = std::filesystem;
using integration::Background;

const std::string kBuild = ZYL_BINARY_DIR;

long ReplyField(const std::string& json, const std::string& name) {
  std::smatch match;
  const std::regex pattern("\"reply\":\\{[^}]*\"" + name + "\":(-?[0-9]+)");
  return std::regex_search(json, match, pattern) ? std::stol(match[1]) : -99999;
}

// The ID dword and command byte of 00:00.0, read straight from sysfs.
bool ReadHostBridge(uint32_t& id, uint8_t& command) {
  FILE* config = std::fopen("/sys/bus/pci/devices/0000:00:00.0/config", "rb");
  if (config == nullptr) return false;
  uint8_t bytes[8] = {};
  const bool ok = std::fread(bytes, 1, sizeof bytes, config) == sizeof bytes;
  std::fclose(config);
  id = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
  command = bytes[4];
  return ok;
}

int CountFunctionsWithId(uint32_t id) {
  int count = 0;
  for (const auto& entry : fs::directory_iterator("/sys/bus/pci/devices")) {
    FILE* config = std::fopen((entry.path() / "config").c_str(), "rb");
    if (config == nullptr) continue;
    uint8_t bytes[4] = {};
    if (std::fread(bytes, 1, 4, config) == 4 &&
        (bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24) == id) {
      ++count;
    }
    std::fclose(config);
  }
  return count;
}

TEST(ShippedService, ServesThisMachineFromItsInstallFolder) {
  if (::geteuid() != 0) GTEST_SKIP() << "the shipped program serves /run/vokzyl, which needs root";
  if (fs::exists("/run/vokzyl/TAVIK_Zyl_Control_Service")) {
    GTEST_SKIP() << "a control service already runs on this machine";
  }
  uint32_t id = 0;
  uint8_t command = 0;
  if (!ReadHostBridge(id, command)) GTEST_SKIP() << "no PCI function 00:00.0 here";

  // As systemd removes a unit's runtime directory when it stops: a /run/vokzyl left behind
  // would make later tests (the hostile users' /tmp fallback) believe a service is installed.
  struct RemoveRuntimeDir {
    ~RemoveRuntimeDir() {
      std::error_code ignored;
      if (!existed) fs::remove_all("/run/vokzyl", ignored);
    }
    bool existed = fs::exists("/run/vokzyl");
  } removeRuntimeDir;
  const std::string folder = integration::MakeTempDir("installed");
  fs::copy_file(kBuild + "/service/VokZylControl", folder + "/VokZylControl");
  fs::copy_file(kBuild + "/hwaccess/libqvzyl.so", folder + "/libqvzyl.so");
  Background service({folder + "/VokZylControl"}, folder + "/service.log");
  ASSERT_TRUE(service.WaitForFile("/run/vokzyl/TAVIK_Zyl_Control_Service"));

  const auto client = [](std::vector<std::string> args) {
    std::vector<std::string> argv{kBuild + "/tools/zylclient/zylclient", "--json"};
    argv.insert(argv.end(), args.begin(), args.end());
    return integration::Run(argv).output;
  };
  char idText[16];
  std::snprintf(idText, sizeof idText, "0x%08X", id);

  EXPECT_EQ(ReplyField(client({"load"}), "result"), 1);
  const std::string counted = client({"count", "--match-id", idText});
  EXPECT_EQ(ReplyField(counted, "result"), 1);
  EXPECT_EQ(ReplyField(counted, "count"), CountFunctionsWithId(id));
  EXPECT_EQ(ReplyField(client({"query", "--match-id", idText}), "result"), command ? -102 : 4);
  EXPECT_EQ(ReplyField(client({"disable"}), "result"), -102) << "no adapter node here";

  EXPECT_EQ(service.Terminate(), 1);
  const std::string log = integration::ReadFile(folder + "/service.log");
  EXPECT_NE(log.find("<-------------QV_InitLibrary\n"), std::string::npos) << log;
  EXPECT_NE(log.find("ZYLCTRL:SERVICE_CONTROL_STOP"), std::string::npos);
}

}  // namespace
