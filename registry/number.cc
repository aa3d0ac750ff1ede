// Reading numbers stored as text in the STATUS databank (the Pulse).
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "registry/registry.h"

namespace carob::registry {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The decimal order of a mantissa of digits with an optional point: the
// power of ten just above its first non-zero digit ("123" -> 3,
// "0.05" -> -1). Only used to tell overflow from underflow.
long long MantissaOrder(const std::string& mantissa) {
  size_t point = mantissa.find('.');
  long long int_digits = static_cast<long long>(point == std::string::npos ? mantissa.size() : point);
  long long index = 0;  // digits seen, the point skipped
  for (char c : mantissa) {
    if (c == '.') continue;
    if (c != '0') return int_digits - index;
    ++index;
  }
  return std::numeric_limits<long long>::min();  // all zeros
}

}  // namespace

double ReadLeadingNumber(std::string_view text) {
  std::string s;
  s.reserve(text.size());
  for (char c : text)
    if (c != ' ') s.push_back(c);

  size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    negative = s[i] == '-';
    ++i;
  }
  std::string mantissa;
  int digits = 0;
  auto take_digits = [&] {
    for (; i < s.size() && IsDigit(s[i]); ++digits) mantissa.push_back(s[i++]);
  };
  take_digits();
  if (i < s.size() && s[i] == '.') {
    mantissa.push_back(s[i++]);
    take_digits();
  }
  if (digits == 0) return 0;

  // The exponent counts only when at least one digit follows its letter and
  // sign; otherwise the number ends before the letter.
  std::string exponent;
  long long exponent_value = 0;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    size_t j = i + 1;
    bool exp_negative = false;
    if (j < s.size() && (s[j] == '+' || s[j] == '-')) {
      exp_negative = s[j] == '-';
      ++j;
    }
    if (j < s.size() && IsDigit(s[j])) {
      exponent = exp_negative ? "e-" : "e";
      while (j < s.size() && IsDigit(s[j])) {
        exponent.push_back(s[j]);
        if (exponent_value < 1000000) exponent_value = exponent_value * 10 + (s[j] - '0');
        ++j;
      }
      if (exp_negative) exponent_value = -exponent_value;
    }
  }

  std::string number = mantissa + exponent;
  double value = 0;
  // The whole text is the number, so only the error is looked at.
  const std::errc ec = std::from_chars(number.data(), number.data() + number.size(), value,
                                       std::chars_format::general).ec;
  if (ec == std::errc::result_out_of_range) {
    long long order = MantissaOrder(mantissa);
    if (order == std::numeric_limits<long long>::min()) {
      value = 0;
    } else {
      value = order + exponent_value > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    }
  } else if (ec != std::errc()) {
    value = 0;
  }
  return negative ? -value : value;
}

std::optional<int32_t> RoundToInt32(double value) {
  // nearbyint rounds halves to the even neighbour.
  const double rounded = std::nearbyint(value);
  if (!std::isfinite(rounded) ||
      rounded < static_cast<double>(std::numeric_limits<int32_t>::min()) ||
      rounded > static_cast<double>(std::numeric_limits<int32_t>::max())) {
    return std::nullopt;
  }
  return static_cast<int32_t>(rounded);
}

}  // namespace carob::registry
