// The fake library loader held to the contract that the real loaders meet.
#include "contract/library_loader_contract.h"

#include "tests/fakes/library_loader.h"

namespace {

int ZylTestAnswer() { return 42; }

class FakeLibraryLoaderBinding {
 public:
  FakeLibraryLoaderBinding() {
    loader_.AddLibrary(u"ZylTestLib.Dll",
                       {{"ZylTestAnswer", reinterpret_cast<void*>(&ZylTestAnswer)}});
  }
  platform::LibraryLoader& Loader() { return loader_; }
  std::u16string ProgramFileName() { return u"VokZylControl.exe"; }

 private:
  platform::FakeLibraryLoader loader_;
};

}  // namespace

namespace zyltest {
INSTANTIATE_TYPED_TEST_SUITE_P(Fake, LibraryLoaderContract, FakeLibraryLoaderBinding);
}  // namespace zyltest
