// The eight turns and mirror images of a square grid: mirrored left to right when index >= 4,
// then turned clockwise by (index % 4) quarter turns.
#pragma once

#include <cstdint>

namespace pair_compare {

// out[y][x] of the side x side grid `in` under transform `index`.
template <typename T>
void turned(const T* in, int side, int index, T* out) {
  const int last = side - 1;
  for (int y = 0; y < side; ++y) {
    for (int x = 0; x < side; ++x) {
      // Where (y, x) of the turned grid comes from in the mirrored one.
      int my = y, mx = x;
      switch (index % 4) {
        case 1:
          my = last - x;
          mx = y;
          break;
        case 2:
          my = last - y;
          mx = last - x;
          break;
        case 3:
          my = x;
          mx = last - y;
          break;
        default:
          break;
      }
      if (index >= 4) mx = last - mx;
      out[y * side + x] = in[my * side + mx];
    }
  }
}

// Whether a transform swaps width and height.
inline bool turns_sides(int index) { return index % 2 == 1; }

}  // namespace pair_compare
