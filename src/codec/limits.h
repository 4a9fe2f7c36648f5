// Ceilings that every decoder checks before it allocates: bytes from files
// and peers never size an allocation beyond these.
#pragma once

#include <cstddef>
#include <cstdint>

// The largest block an inflate may produce.
inline constexpr size_t kCodecMaxInflate = size_t{256} << 20;
// The largest image (width * height) a decoder builds.
inline constexpr uint64_t kCodecMaxPixels = uint64_t{1} << 28;
