// The bindings' owning handles: each kind released exactly once by its own call, handed over
// by Release, moved without a second release.
#include "platform/win32/scoped_handle.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

using platform::win32::ScopedKernelHandle;
using platform::win32::ScopedServiceHandle;

TEST(ScopedHandle, KernelHandleIsClosedOnceAndMovesWithoutASecondClose) {
  HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  {
    ScopedKernelHandle first(raw);
    ScopedKernelHandle second(std::move(first));
    EXPECT_FALSE(first.Valid());
    EXPECT_EQ(second.Get(), raw);
    EXPECT_TRUE(SetEvent(raw)) << "still open while owned";
  }
  EXPECT_FALSE(SetEvent(raw)) << "closed when its owner went";
  EXPECT_FALSE(ScopedKernelHandle(INVALID_HANDLE_VALUE).Valid());
}

TEST(ScopedHandle, ReleaseHandsTheHandleOverUnclosed) {
  ScopedKernelHandle owned(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  HANDLE raw = owned.Release();
  EXPECT_FALSE(owned.Valid());
  EXPECT_TRUE(CloseHandle(raw)) << "the caller closes it";
}

TEST(ScopedHandle, ServiceHandlesAreReleasedByTheirOwnCall) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  ASSERT_NE(manager, nullptr);
  { const ScopedServiceHandle owned(manager); }
  EXPECT_FALSE(CloseServiceHandle(manager)) << "already closed";
}

}  // namespace
