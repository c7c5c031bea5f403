// The text float.__repr__ gives for a finite double, written without the interpreter's
// big-number digit generation: the shortest digits that read back as the same double
// (std::to_chars), laid out as repr lays them out.
#pragma once

#include <string>

namespace sil {

// Appends repr(value) for a finite `value`: positional notation with at least one digit
// after the point when 1e-4 <= |value| < 1e16 or value is zero, otherwise scientific
// notation with a signed exponent of at least two digits ("1e+16", "1.5e-05").
void append_float_repr(std::string& out, double value);

}  // namespace sil
