#pragma once

// NATIVE64_API marks the classes and functions that form the library's boundary. The library is
// built with hidden symbols by default, so whatever lacks this mark stays internal.
#if defined(_WIN32)
#if defined(NATIVE64_BUILDING)
#define NATIVE64_API __declspec(dllexport)
#else
#define NATIVE64_API __declspec(dllimport)
#endif
#define NATIVE64_TEMPLATE_API NATIVE64_API
#else
#define NATIVE64_API __attribute__((visibility("default")))
// GCC and Clang ignore attributes on instantiations of already defined templates; the library
// gives those instantiations default visibility with a pragma where it defines them.
#define NATIVE64_TEMPLATE_API
#endif
