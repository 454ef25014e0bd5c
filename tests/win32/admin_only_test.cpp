// Which access lists let ordinary users change the service's folder or the driver file. The rule
// is tried on lists built from SDDL; the file check on what the system keeps for a real folder.
// Wine keeps no access list of its own: it makes one up from the Unix mode, where only the
// entry for Everyone (the "others" bits) shows, so that is what the file check sees here.
#include "platform/win32/admin_only.h"

#include <gtest/gtest.h>
// clang-format off
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
// clang-format on

#include <string>

namespace {

// Whether the DACL of `sddl` lets ordinary users change the object.
bool LetsUsersChange(const std::wstring& sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                   &descriptor, nullptr));
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
  const bool lets = platform::win32::AccessListLetsUsersChange(dacl);
  LocalFree(descriptor);
  return lets;
}

// What a folder under Program Files inherits: administrators and SYSTEM change it, users read
// and run it, and the creator of a new file owns that file (an entry for children only).
TEST(AdminOnlyRuleTest, AFolderAsUnderProgramFilesIsAdministratorsOnly) {
  EXPECT_FALSE(LetsUsersChange(
      L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;OICIIO;FA;;;CO)"));
  EXPECT_FALSE(LetsUsersChange(L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;WD)"));
}

TEST(AdminOnlyRuleTest, AnyChangingRightForAnOrdinaryGroupLetsUsersChange) {
  // Everyone, Authenticated Users, Users, INTERACTIVE, CREATOR OWNER.
  const wchar_t* const groups[] = {L"WD", L"AU", L"BU", L"IU", L"CO"};
  // Write (add a file), append (add a folder), delete a child, change the access list, take
  // ownership, and the generic forms.
  const wchar_t* const rights[] = {L"0x2", L"0x4", L"0x40", L"WD", L"WO", L"GW", L"GA"};
  for (const wchar_t* group : groups) {
    for (const wchar_t* right : rights) {
      const std::wstring sddl =
          std::wstring(L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;") + right + L";;;" + group + L")";
      EXPECT_TRUE(LetsUsersChange(sddl)) << sddl.c_str();
    }
  }
}

TEST(AdminOnlyRuleTest, NoAccessListAtAllGrantsEverything) {
  EXPECT_TRUE(platform::win32::AccessListLetsUsersChange(nullptr));
}

class AdminOnlyFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    folder_ = std::wstring(temp) + L"zyl_admin_only_" + std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr));
  }
  void TearDown() override { RemoveDirectoryW(folder_.c_str()); }
  std::wstring folder_;
};

TEST_F(AdminOnlyFolderTest, TheSecurityTheSystemKeepsIsRead) {
  // A new folder in the temporary directory: nobody but its owner, SYSTEM and administrators
  // writes it, on Windows and under Wine alike.
  EXPECT_TRUE(platform::win32::OnlyAdministratorsCanChange(folder_));
  EXPECT_FALSE(platform::win32::OnlyAdministratorsCanChange(folder_ + L"\\absent.sys"))
      << "what cannot be read is refused";
}

TEST_F(AdminOnlyFolderTest, AFolderEveryoneMayWriteIsRefused) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
      L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1201bf;;;WD)", SDDL_REVISION_1, &descriptor,
      nullptr));
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
  EXPECT_EQ(SetNamedSecurityInfoW(folder_.data(), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, dacl, nullptr),
            static_cast<DWORD>(ERROR_SUCCESS));
  LocalFree(descriptor);
  EXPECT_FALSE(platform::win32::OnlyAdministratorsCanChange(folder_));
}

}  // namespace
