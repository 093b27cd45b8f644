#include "reports/TextFormat.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace dotcal {

std::string Format(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  va_list copy;
  va_copy(copy, arguments);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::vector<char> text(length > 0 ? length + 1 : 1, '\0');
  if (length > 0) std::vsnprintf(text.data(), text.size(), format, arguments);
  va_end(arguments);
  return text.data();
}

}  // namespace dotcal
