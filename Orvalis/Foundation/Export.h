#pragma once

// The headers use C++20 (std::span, concepts); say so before anything else fails.
#if defined(_MSVC_LANG) ? _MSVC_LANG < 202002L : __cplusplus < 202002L
#error "Orvalis needs C++20 or later: compile with -std=c++20 (CMake: cxx_std_20 comes with Orvalis::Orvalis)"
#endif

// ORVALIS_EXPORT marks what hosts may use from the shared library; everything
// else is built with hidden visibility.
#if defined(ORVALIS_STATIC_DEFINE)
#define ORVALIS_EXPORT
#elif defined(_WIN32)
#if defined(ORVALIS_BUILDING)
#define ORVALIS_EXPORT __declspec(dllexport)
#else
#define ORVALIS_EXPORT __declspec(dllimport)
#endif
#else
#define ORVALIS_EXPORT __attribute__((visibility("default")))
#endif
