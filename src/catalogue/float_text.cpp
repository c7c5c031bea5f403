#include "catalogue/float_text.h"

#include <charconv>
#include <cstdlib>
#include <string_view>

namespace sil {

void append_float_repr(std::string& out, double value) {
  // Scientific form gives the shortest round-trip digits and their exponent in a shape
  // that is easy to take apart: [-]d[.ddd]e(+|-)xx.
  char buffer[40];
  const std::to_chars_result written =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  std::string_view text(buffer, static_cast<std::size_t>(written.ptr - buffer));
  if (text.front() == '-') {
    out.push_back('-');
    text.remove_prefix(1);
  }
  const std::size_t e = text.find('e');
  std::string digits(text.substr(0, e));
  if (digits.size() > 1) digits.erase(1, 1);  // the point after the first digit
  const int exponent = std::atoi(std::string(text.substr(e + 1)).c_str());
  const int ndigits = static_cast<int>(digits.size());
  const int point = exponent + 1;  // digits before the decimal point

  if (digits == "0") {
    out.append("0.0");
  } else if (point > -4 && point <= 16) {
    if (point <= 0) {
      out.append("0.");
      out.append(static_cast<std::size_t>(-point), '0');
      out.append(digits);
    } else if (point >= ndigits) {
      out.append(digits);
      out.append(static_cast<std::size_t>(point - ndigits), '0');
      out.append(".0");
    } else {
      out.append(digits, 0, static_cast<std::size_t>(point));
      out.push_back('.');
      out.append(digits, static_cast<std::size_t>(point), std::string::npos);
    }
  } else {
    out.push_back(digits[0]);
    if (ndigits > 1) {
      out.push_back('.');
      out.append(digits, 1, std::string::npos);
    }
    out.push_back('e');
    out.push_back(exponent < 0 ? '-' : '+');
    const int magnitude = std::abs(exponent);
    if (magnitude < 10) out.push_back('0');
    out.append(std::to_string(magnitude));
  }
}

}  // namespace sil
