// What every LibraryLoader binding does: one set of test bodies run against the fake, the
// Linux binding and the Windows binding (under Wine). Include in exactly one file of a test
// program and instantiate with a binding type that offers:
//   platform::LibraryLoader& Loader();   // where "ZylTestLib.Dll" (testlib/) can be loaded
//                                        // by bare name, from beside the program
//   std::u16string ProgramFileName();    // the last part of ProgramFilePath
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/library_loader.h"

namespace zyltest {

template <typename Binding>
class LibraryLoaderContract : public ::testing::Test {
 protected:
  Binding binding_;
};

TYPED_TEST_SUITE_P(LibraryLoaderContract);

TYPED_TEST_P(LibraryLoaderContract, LoadsByBareNameBesideTheProgramAndFindsExports) {
  auto& loader = this->binding_.Loader();
  platform::Handle module = loader.Load(u"ZylTestLib.Dll");
  ASSERT_NE(module, nullptr);
  // File names are not case-sensitive, and a loaded library loads as the same handle.
  EXPECT_EQ(loader.Load(u"zyltestlib.dll"), module);
  auto answer = reinterpret_cast<int (*)()>(loader.FindExport(module, "ZylTestAnswer"));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);
}

TYPED_TEST_P(LibraryLoaderContract, MissingLibraryOrExportGivesNull) {
  auto& loader = this->binding_.Loader();
  EXPECT_EQ(loader.Load(u"NoSuchLibraryAnywhere.Dll"), nullptr);
  EXPECT_EQ(loader.Load(u""), nullptr);
  platform::Handle module = loader.Load(u"ZylTestLib.Dll");
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(loader.FindExport(module, "NoSuchExport"), nullptr);
  EXPECT_EQ(loader.FindExport(module, "zyltestanswer"), nullptr);  // export names keep case
  EXPECT_EQ(loader.FindExport(nullptr, "ZylTestAnswer"), nullptr);
}

TYPED_TEST_P(LibraryLoaderContract, ProgramFilePathIsTheFullPathOfThisProgram) {
  const std::u16string path = this->binding_.Loader().ProgramFilePath();
  const std::u16string name = this->binding_.ProgramFileName();
  ASSERT_GT(path.size(), name.size());
  EXPECT_EQ(path.substr(path.size() - name.size()), name);
  const char16_t separator = path[path.size() - name.size() - 1];
  EXPECT_TRUE(separator == u'/' || separator == u'\\');
  // Absolute: from the root, or from a drive.
  EXPECT_TRUE(path[0] == u'/' || (path.size() > 2 && path[1] == u':' && path[2] == u'\\'));
}

REGISTER_TYPED_TEST_SUITE_P(LibraryLoaderContract, LoadsByBareNameBesideTheProgramAndFindsExports,
                            MissingLibraryOrExportGivesNull,
                            ProgramFilePathIsTheFullPathOfThisProgram);

}  // namespace zyltest
