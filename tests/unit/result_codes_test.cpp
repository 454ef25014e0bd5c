#include "protocol/result_codes.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

using namespace zylprotocol;

namespace {

#ifdef _WIN32
constexpr bool kReadmeMayBeAbsent = true;  // under Wine the source tree may not be mapped
#else
constexpr bool kReadmeMayBeAbsent = false;
#endif

// The README's "Result codes" table must list exactly the table's codes, each with the
// table's meaning and commands, so the documentation cannot drift from what the service sends.
TEST(ResultCodes, ReadmeTableIsTheTable) {
  std::ifstream readme(ZYL_SOURCE_DIR "/README.md");
  if (!readme && kReadmeMayBeAbsent) GTEST_SKIP() << "the sources are not visible from here";
  ASSERT_TRUE(readme) << "README.md not found";
  std::string line;
  bool inTable = false;
  std::set<int32_t> seen;
  while (std::getline(readme, line)) {
    if (line == "## Result codes") inTable = true;
    if (!inTable || line.rfind("| ", 0) != 0 || line.rfind("| code", 0) == 0) {
      if (inTable && !seen.empty() && line.empty()) break;
      continue;
    }
    std::istringstream cells(line.substr(2));
    std::string code, meaning, commands;
    std::getline(cells, code, '|');
    std::getline(cells, meaning, '|');
    std::getline(cells, commands, '|');
    auto trim = [](std::string s) {
      s.erase(0, s.find_first_not_of(' '));
      s.erase(s.find_last_not_of(' ') + 1);
      return s;
    };
    const ResultCodeInfo* info = FindResultCode(std::stoi(trim(code)));
    ASSERT_NE(info, nullptr) << "README lists a code the service never answers: " << line;
    EXPECT_EQ(trim(meaning), info->meaning) << line;
    EXPECT_EQ(trim(commands), info->commands) << line;
    seen.insert(info->code);
  }
  EXPECT_EQ(seen.size(), std::size(kResultCodes)) << "README misses a code of the table";
}

TEST(ResultCodes, CodesAreTheWireValues) {
  // Clients compare against these numbers: stated here independently of the table.
  EXPECT_EQ(kResultDone, 1);
  EXPECT_EQ(kResultAdapterWorks, 2);
  EXPECT_EQ(kResultAdapterHasProblem, 3);
  EXPECT_EQ(kResultCommandRegisterZero, 4);
  EXPECT_EQ(kResultNoDeviceList, 0);
  EXPECT_EQ(kResultStateChangeRefused, -101);
  EXPECT_EQ(kResultAdapterNotFound, -102);
  EXPECT_EQ(kResultLibraryNotLoaded, -105);
  EXPECT_EQ(kResultExportMissing, -106);
  EXPECT_EQ(kResultNoContext, -107);
  EXPECT_EQ(kResultNoMemory, -108);
  EXPECT_EQ(kResultCountFailed, -200);
  EXPECT_EQ(kResultWorkerNotStarted, -300);
}

}  // namespace
