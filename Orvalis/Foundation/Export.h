#pragma once

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
