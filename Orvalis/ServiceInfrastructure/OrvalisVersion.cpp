#include <Orvalis/ServiceInfrastructure/OrvalisVersion.h>

#define ORVALIS_STRINGIFY_(x) #x
#define ORVALIS_STRINGIFY(x) ORVALIS_STRINGIFY_(x)
// MAJOR.MINOR as one floating literal (1 . 0 -> 1.0).
#define ORVALIS_DECIMAL_(a, b) a##.##b
#define ORVALIS_DECIMAL(a, b) ORVALIS_DECIMAL_(a, b)

// Both come from the generated version header, so the project version stays
// the one place a version is written.
extern "C" {
const unsigned char OrvalisVersionString[] =
    "@(#)PROGRAM:Orvalis  PROJECT:Orvalis-" ORVALIS_STRINGIFY(ORVALIS_VERSION_MAJOR) "\n";
const double OrvalisVersionNumber = ORVALIS_DECIMAL(ORVALIS_VERSION_MAJOR, ORVALIS_VERSION_MINOR);
}
