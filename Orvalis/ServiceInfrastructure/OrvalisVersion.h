#pragma once

#include <Orvalis/Foundation/Export.h>

extern "C" {
/// "@(#)PROGRAM:Orvalis  PROJECT:Orvalis-1" followed by a line feed.
ORVALIS_EXPORT extern const unsigned char OrvalisVersionString[];
/// The library's version number, 1.0.
ORVALIS_EXPORT extern const double OrvalisVersionNumber;
}
