// The transport's completion steps on arbitrary answer bodies, without a
// network: JSON first, then XML. Every body must end in exactly one callback,
// and a failure must be the transport's own code-101 Error.
// The first byte picks whether the success callback throws (which sends the
// JSON branch on to the XML reading) and whether log lines are built.
#include <Orvalis/Foundation/System/Log.h>
#include <Orvalis/Networking/ZRBNetworkManager.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>

using namespace orvalis;

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const bool throwing = data[0] & 1;
    if (data[0] & 2) {
        // Lines are built (invalid UTF-8 included) and dropped.
        setLogHandler([](std::string_view line) { check(line.size() < (std::size_t{1} << 30)); });
    } else {
        setLogHandler({});
    }
    const std::string body(reinterpret_cast<const char*>(data + 1), size - 1);

    int successes = 0, failures = 0;
    std::optional<Error> error;
    SuccessCallback onSuccess = [&](Dictionary d) {
        ++successes;
        (void)d.description();
        if (throwing) throw std::runtime_error("host callback failed");
    };
    FailureCallback onFailure = [&](Error e) {
        ++failures;
        error = std::move(e);
    };
    try {
        detail::runCompletionSteps(body, std::nullopt, onSuccess, onFailure);
    } catch (const std::runtime_error&) {
        // Thrown from the XML branch's success callback: not the steps' to catch.
        check(throwing);
    }
    if (throwing) {
        // A throw on the JSON branch is followed by the XML reading's callback.
        check(successes + failures >= 1 && successes + failures <= 2);
    } else {
        check(successes + failures == 1);
    }
    if (failures == 1) {
        check(error->domain() == kZRBNetworkErrorDomain);
        check(error->code() == 101);
    }
    return 0;
}
