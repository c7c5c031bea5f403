// A checksum of stored bytes, so that a damaged entry is dropped instead of handed out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace sil {

// 64-bit FNV-1a over `bytes`, as the signed integer SQLite stores.
inline long long store_checksum(std::string_view bytes,
                                std::uint64_t hash = 14695981039346656037ULL) {
  for (unsigned char byte : bytes) {
    hash ^= byte;
    hash *= 1099511628211ULL;
  }
  return static_cast<long long>(hash);
}

}  // namespace sil
