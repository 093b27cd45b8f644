#pragma once

#include <string>

namespace dotcal {

// printf-style formatting into a string, for the tables of numbers the commands print.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace dotcal
