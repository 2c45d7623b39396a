// A host program built outside the Orvalis tree, only from the installed
// headers and library: it must compile, link and run.
#include <Orvalis/ServiceInfrastructure/Orvalis.h>

#include <cstdio>
#include <cstring>
#include <string>

int main() {
    using namespace orvalis;
    std::string seen;
    setLogHandler([&](std::string_view line) { seen.assign(line); });
    log("installed library answers");
    Dictionary d;
    d.set("k", Value("v"));
    Error e = Error::withDescription("org.example.consumer", 101, "Server Error");
    const char* version = reinterpret_cast<const char*>(OrvalisVersionString);
    if (seen != "installed library answers" || d["k"].asString() != "v" ||
        e.localizedDescription() != "Server Error" || std::strstr(version, "PROJECT:Orvalis-1") == nullptr ||
        OrvalisVersionNumber != 1.0 || std::strcmp(ORVALIS_VERSION_STRING, EXPECTED_VERSION) != 0) {
        std::puts("consumer: unexpected results");
        return 1;
    }
    std::puts("consumer: ok");
    return 0;
}
