#include <Orvalis/ServiceInfrastructure/Orvalis.h>

#include <cstdio>

int main() {
    std::printf("%s", reinterpret_cast<const char*>(OrvalisVersionString));
    return 0;
}
