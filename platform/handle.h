#pragma once

namespace platform {

/// An operating-system object as the core sees it: a HANDLE on Windows, an object owned by
/// the binding elsewhere. Null means "none" or "failed" in every binding; the Windows
/// bindings map INVALID_HANDLE_VALUE to null at the edge.
using Handle = void*;

}  // namespace platform
