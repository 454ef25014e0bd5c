// qvprobe: loads the hardware access library by name and calls its exports.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/library_loader.h"

namespace {

using InitFunction = int32_t (*)();
using CountFunction = int32_t (*)(int32_t, int32_t, int32_t*, int32_t*);
using CommandFunction = int32_t (*)(int32_t, int32_t, int32_t, int32_t*);

enum class ExitCode {
  kOk = 0,
  kUsage = 1,
  kNoLibrary = 2,
  kNoExport = 3,
  kInitFailed = 4,
  kNoMatch = 5
};

void PrintHelp() {
  std::printf(
      "Usage: qvprobe [options]\n"
      "Loads the hardware access library, initialises it and scans PCI configuration space.\n"
      "\n"
      "  --library PATH  library to load (default %s, found by the usual search)\n"
      "  --id HEX        ID dword to match: device ID << 16 | vendor ID, e.g. 0d578086\n"
      "  --subsys HEX    subsystem dword to match (subsystem ID << 16 | subsystem vendor ID)\n"
      "  --index N       print the command register of match N\n"
      "  --list          print the command register of every match\n"
      "  --keep          leave the library initialised at the end (the driver stays installed);\n"
      "                  by default QV_ExitLibrary stops and removes what QV_InitLibrary set up\n"
      "  --help          this text\n"
      "\n"
      "With --id and/or --subsys the matches are counted. Exit status: 0 done, 1 bad usage,\n"
      "2 library not loaded, 3 export missing, 4 initialisation failed, 5 no such match.\n",
      QVPROBE_LIBRARY);
}

bool ParseHex(const char* text, int32_t* value) {
  char* end = nullptr;
  const unsigned long long parsed = std::strtoull(text, &end, 16);
  if (end == text || *end != '\0' || parsed > 0xFFFFFFFFull) return false;
  *value = static_cast<int32_t>(static_cast<uint32_t>(parsed));
  return true;
}

bool ParseIndex(const char* text, int32_t* value) {
  char* end = nullptr;
  const long parsed = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || parsed < INT32_MIN || parsed > INT32_MAX) return false;
  *value = static_cast<int32_t>(parsed);
  return true;
}

ExitCode Probe(CountFunction count, CommandFunction commandReg, int32_t id, int32_t subsystem,
               bool list, bool haveIndex, int32_t index);

template <typename T>
T Export(platform::Handle library, const char* name) {
  T function = reinterpret_cast<T>(platform::SystemLibraryLoader().FindExport(library, name));
  if (function == nullptr) std::fprintf(stderr, "qvprobe: the library has no export %s\n", name);
  return function;
}

}  // namespace

int main(int argc, char** argv) {
  std::string libraryName = QVPROBE_LIBRARY;
  int32_t id = 0, subsystem = 0, index = 0;
  bool scan = false, haveIndex = false, list = false, keep = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      PrintHelp();
      return static_cast<int>(ExitCode::kOk);
    } else if (std::strcmp(arg, "--list") == 0) {
      list = scan = true;
    } else if (std::strcmp(arg, "--keep") == 0) {
      keep = true;
    } else if (value == nullptr) {
      std::fprintf(stderr, "qvprobe: unknown option or missing value: %s (see --help)\n", arg);
      return static_cast<int>(ExitCode::kUsage);
    } else if (std::strcmp(arg, "--library") == 0) {
      libraryName = value, ++i;
    } else if (std::strcmp(arg, "--id") == 0 && ParseHex(value, &id)) {
      scan = true, ++i;
    } else if (std::strcmp(arg, "--subsys") == 0 && ParseHex(value, &subsystem)) {
      scan = true, ++i;
    } else if (std::strcmp(arg, "--index") == 0 && ParseIndex(value, &index)) {
      haveIndex = scan = true, ++i;
    } else {
      std::fprintf(stderr, "qvprobe: bad option or value: %s %s (see --help)\n", arg, value);
      return static_cast<int>(ExitCode::kUsage);
    }
  }
  if (scan && id == 0 && subsystem == 0) {
    std::fprintf(stderr, "qvprobe: give --id and/or --subsys to scan\n");
    return static_cast<int>(ExitCode::kUsage);
  }

  platform::LibraryLoader& loader = platform::SystemLibraryLoader();
  const platform::Handle library = loader.Load(std::filesystem::path(libraryName).u16string());
  if (library == nullptr) {
    std::fprintf(stderr, "qvprobe: cannot load %s: %s\n", libraryName.c_str(),
                 loader.LoadErrorText().c_str());
    return static_cast<int>(ExitCode::kNoLibrary);
  }
  auto init = Export<InitFunction>(library, "QV_InitLibrary");
  auto count = Export<CountFunction>(library, "QV_GetPciDeviceCount");
  auto commandReg = Export<CommandFunction>(library, "QV_GetPciCommandReg");
  auto exitLibrary = Export<InitFunction>(library, "QV_ExitLibrary");
  if (init == nullptr || count == nullptr || commandReg == nullptr || exitLibrary == nullptr) {
    return static_cast<int>(ExitCode::kNoExport);
  }

  const int32_t initResult = init();
  if (initResult != 1) {
    std::fprintf(stderr, "qvprobe: QV_InitLibrary answered %d\n", initResult);
    return static_cast<int>(ExitCode::kInitFailed);
  }
  std::printf("library %s initialised\n", libraryName.c_str());
  const ExitCode result =
      scan ? Probe(count, commandReg, id, subsystem, list, haveIndex, index) : ExitCode::kOk;
  if (!keep) {
    const int32_t exitResult = exitLibrary();
    if (exitResult != 1) std::fprintf(stderr, "qvprobe: QV_ExitLibrary answered %d\n", exitResult);
  }
  return static_cast<int>(result);
}

namespace {

ExitCode Probe(CountFunction count, CommandFunction commandReg, int32_t id, int32_t subsystem,
               bool list, bool haveIndex, int32_t index) {
  int32_t matches = 0;
  int32_t foundId = 0;
  if (count(id, subsystem, &matches, &foundId) != 1) {
    std::fprintf(stderr, "qvprobe: QV_GetPciDeviceCount failed\n");
    return ExitCode::kNoMatch;
  }
  std::printf("matches: %d (id %08x, subsystem %08x)\n", matches, static_cast<uint32_t>(id),
              static_cast<uint32_t>(subsystem));
  if (id == 0 && matches > 0) {
    std::printf("found id: %08x (vendor %04x, device %04x)\n", static_cast<uint32_t>(foundId),
                static_cast<uint32_t>(foundId) & 0xFFFF, static_cast<uint32_t>(foundId) >> 16);
  }
  if (list) {
    for (int32_t i = 0; i < matches; ++i) {
      int32_t command = 0;
      if (commandReg(id, subsystem, i, &command) != 1) {
        std::printf("match %d: not in the table (only the first 16 are kept)\n", i);
        continue;
      }
      std::printf("match %d: command %02x\n", i, static_cast<uint32_t>(command));
    }
  }
  if (haveIndex) {
    int32_t command = 0;
    const int32_t result = commandReg(id, subsystem, index, &command);
    if (result != 1) {
      std::fprintf(stderr, "qvprobe: no match with index %d (QV_GetPciCommandReg answered %d)\n",
                   index, result);
      return ExitCode::kNoMatch;
    }
    std::printf("match %d: command %02x\n", index, static_cast<uint32_t>(command));
  }
  return ExitCode::kOk;
}

}  // namespace
