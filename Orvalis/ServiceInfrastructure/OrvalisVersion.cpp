#include <Orvalis/ServiceInfrastructure/OrvalisVersion.h>

extern "C" {
const unsigned char OrvalisVersionString[] = "@(#)PROGRAM:Orvalis  PROJECT:Orvalis-1\n";
const double OrvalisVersionNumber = 1.0;
}
