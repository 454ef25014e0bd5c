#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

/// A second, deliberately plain reading of the adapter-ID rule, written apart from the core so
/// that the fuzzers can compare the two: the first UTF-16LE string of `bytes` (ending at a NUL
/// or at the last whole code unit) equals one of the three fixed IDs or the ID formatted from
/// the context with "%4X".
bool OracleIsAdapterId(std::span<const std::byte> bytes, uint32_t vendorId, uint32_t deviceId);

/// The adapter IDs as the tests spell them: 0..2 the fixed ones, 3 the context's.
std::u16string OracleAdapterId(int which, uint32_t vendorId, uint32_t deviceId);
