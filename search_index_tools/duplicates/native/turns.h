// The eight turns and mirror images of a square grid: mirrored left to right when index >= 4,
// then turned clockwise by (index % 4) quarter turns.
#pragma once

#include <cstdint>

namespace pair_compare {

namespace turns_detail {

// out[y][x] = in[from(y, x)] over the grid.
template <typename T, typename From>
void gather(const T* in, int side, T* out, From from) {
  for (int y = 0; y < side; ++y) {
    for (int x = 0; x < side; ++x) out[y * side + x] = in[from(y, x)];
  }
}

}  // namespace turns_detail

// out[y][x] of the side x side grid `in` under transform `index`. Each transform has a loop of
// its own: the grid is turned for every comparison, and the choice of the source pixel is
// then made once per grid instead of once per pixel.
template <typename T>
void turned(const T* in, int side, int index, T* out) {
  using turns_detail::gather;
  const int last = side - 1;
  // Where (y, x) of the turned grid comes from in `in`: index % 4 quarter turns of the grid,
  // mirrored left to right first when index >= 4.
  switch (index) {
    case 1:
      gather(in, side, out, [=](int y, int x) { return (last - x) * side + y; });
      break;
    case 2:
      gather(in, side, out, [=](int y, int x) { return (last - y) * side + last - x; });
      break;
    case 3:
      gather(in, side, out, [=](int y, int x) { return x * side + last - y; });
      break;
    case 4:
      gather(in, side, out, [=](int y, int x) { return y * side + last - x; });
      break;
    case 5:
      gather(in, side, out, [=](int y, int x) { return (last - x) * side + last - y; });
      break;
    case 6:
      gather(in, side, out, [=](int y, int x) { return (last - y) * side + x; });
      break;
    case 7:
      gather(in, side, out, [=](int y, int x) { return x * side + y; });
      break;
    default:
      gather(in, side, out, [=](int y, int x) { return y * side + x; });
      break;
  }
}

// Whether a transform swaps width and height.
inline bool turns_sides(int index) { return index % 2 == 1; }

}  // namespace pair_compare
