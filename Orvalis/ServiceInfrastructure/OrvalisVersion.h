#pragma once

#include <Orvalis/Foundation/Export.h>
#include <Orvalis/Version.h>

extern "C" {
/// "@(#)PROGRAM:Orvalis  PROJECT:Orvalis-1" followed by a line feed.
ORVALIS_EXPORT extern const unsigned char OrvalisVersionString[];
/// The library's version as a number, MAJOR.MINOR (1.0 for every 1.0.x; ORVALIS_VERSION_* has the parts).
ORVALIS_EXPORT extern const double OrvalisVersionNumber;
}
