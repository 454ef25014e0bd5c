// The Linux library loader against a real shared library built beside the tests.
#include "platform/posix/library_loader.h"

#include <gtest/gtest.h>

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

TEST(PosixLibraryLoaderTest, LoadsByBareNameFromTheProgramsDirectoryAndFindsExports) {
  PosixLibraryLoader loader;
  platform::Handle module = loader.Load(u"ZylTestLib.Dll");
  ASSERT_NE(module, nullptr) << "libzyltestlib.so beside posix_tests";
  EXPECT_EQ(loader.Load(u"zyltestlib.dll"), module);  // already loaded: same handle
  auto answer = reinterpret_cast<int (*)()>(loader.FindExport(module, "ZylTestAnswer"));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);
  EXPECT_EQ(loader.FindExport(module, "NoSuchExport"), nullptr);
  EXPECT_EQ(loader.FindExport(nullptr, "ZylTestAnswer"), nullptr);
}

TEST(PosixLibraryLoaderTest, MissingLibraryGivesNull) {
  PosixLibraryLoader loader;
  EXPECT_EQ(loader.Load(u"NoSuchLibraryAnywhere.Dll"), nullptr);
  EXPECT_EQ(loader.Load(u""), nullptr);
}

TEST(PosixLibraryLoaderTest, ProgramFilePathIsThisExecutable) {
  const std::string path = platform::posix::ToUtf8(PosixLibraryLoader().ProgramFilePath());
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path.front(), '/');
  EXPECT_EQ(path.substr(path.rfind('/') + 1), "posix_tests");
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

}  // namespace
