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
    Dictionary d{{"k", "v"}};
    const Error e = Error::withDescription("org.example.consumer", 101, "Server Error");
    const bool ok = seen == "installed library answers" && d["k"].asString() == "v" &&
                    e.localizedDescription() == "Server Error" && OrvalisVersionNumber == 1.0 &&
                    std::strstr(reinterpret_cast<const char*>(OrvalisVersionString), "PROJECT:Orvalis-1") &&
                    std::strcmp(ORVALIS_VERSION_STRING, EXPECTED_VERSION) == 0;
    std::puts(ok ? "consumer: ok" : "consumer: unexpected results");
    return ok ? 0 : 1;
}
