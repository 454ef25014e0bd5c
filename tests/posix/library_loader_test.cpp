// The Linux library loader against a real shared library built beside the tests: the
// LibraryLoader contract, and the name mapping only this binding has.
#include "platform/posix/library_loader.h"

#include <gtest/gtest.h>

#include "contract/library_loader_contract.h"
#include "platform/posix/utf8.h"

namespace {

using platform::PosixLibraryLoader;

TEST(PosixLibraryLoaderTest, MapsWindowsLibraryNamesToSharedObjectNames) {
  EXPECT_EQ(PosixLibraryLoader::SharedObjectName(u"Qvzyl.Dll"), "libqvzyl.so");
  EXPECT_EQ(PosixLibraryLoader::SharedObjectName(u"QVZYL.DLL"), "libqvzyl.so");
  EXPECT_EQ(PosixLibraryLoader::SharedObjectName(u"/opt/x/My.dll"), "/opt/x/libmy.so");
  EXPECT_EQ(PosixLibraryLoader::SharedObjectName(u"libplain.so"), "libplain.so");
  EXPECT_EQ(PosixLibraryLoader::SharedObjectName(u".dll"), ".dll");
}

TEST(PosixLibraryLoaderTest, SaysWhyALoadFailed) {
  PosixLibraryLoader loader;
  ASSERT_EQ(loader.Load(u"ZylNoSuchLibrary.Dll"), nullptr);
  EXPECT_NE(loader.LoadErrorText().find("libzylnosuchlibrary.so"), std::string::npos);
}

TEST(Utf8Test, ConvertsBothWaysAndReplacesMalformedText) {
  using platform::posix::FromUtf8;
  using platform::posix::ToUtf8;
  const std::u16string text = u"ZYLCTRL:\u95a2\u6570 \U0001F600";
  EXPECT_EQ(FromUtf8(ToUtf8(text)), text);
  EXPECT_EQ(ToUtf8(u"a\xD800"
                   u"b"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(FromUtf8("a\xC3"), u"a\xFFFD");
  EXPECT_EQ(FromUtf8("\xC0\x80"), u"\xFFFD\xFFFD");  // overlong
}

class PosixLibraryLoaderBinding {
 public:
  platform::LibraryLoader& Loader() { return loader_; }
  std::u16string ProgramFileName() { return u"posix_tests"; }

 private:
  PosixLibraryLoader loader_;
};

}  // namespace

namespace zyltest {
INSTANTIATE_TYPED_TEST_SUITE_P(Posix, LibraryLoaderContract, PosixLibraryLoaderBinding);
}  // namespace zyltest
