// A whole result in one buffer: a host that pays for each call into C (ctypes)
// reads it with one call and one split instead of one call per field.
#include <Orvalis/C/detail/Bridge.h>
#include <Orvalis/C/orvalis.h>
#include <Orvalis/Foundation/Formats/JSONSerialization.h>

#include <cstring>
#include <string>
#include <string_view>

using namespace orvalis;

namespace {

// A text up to its first NUL, as the single-field calls give it, then the separator.
void text(std::string& out, std::string_view value) {
    out.append(value.substr(0, value.find('\0')));
    out.push_back('\0');
}

void number(std::string& out, int64_t value) {
    out.append(std::to_string(value));
    out.push_back('\0');
}

std::string json(const Dictionary& value) { return JSONSerialization::dataWithJSONObject(Value(value), false); }

}  // namespace

char* orvalis_result_packed(const orvalis_result* result, size_t* length_out) {
    if (length_out != nullptr) *length_out = 0;
    if (result == nullptr) return nullptr;
    std::size_t length = 0;
    char* packed = detail::guardedText([&] {
        const OperationResult& r = result->outcome;
        static const std::vector<std::pair<std::string, std::string>> kNoHeaders;
        const auto& headers = r.response ? r.response->headers : kNoHeaders;
        std::string out;
        out.reserve(512);
        number(out, r.succeeded() ? 1 : 0);
        number(out, static_cast<int64_t>(r.statusCode()));
        number(out, static_cast<int64_t>(r.reached));
        number(out, r.error ? r.error->code() : 0);
        number(out, static_cast<int64_t>(headers.size()));
        number(out, static_cast<int64_t>(r.attempts.size()));
        text(out, r.answer ? json(*r.answer) : std::string());
        text(out, r.error ? r.error->domain() : std::string());
        text(out, r.error ? r.error->localizedDescription() : std::string());
        text(out, r.serverErrorEntry ? json(*r.serverErrorEntry) : std::string());
        for (const auto& [name, value] : headers) {
            text(out, name);
            text(out, value);
        }
        for (const AttemptRecord& record : r.attempts) {
            const orvalis_attempt a = detail::attemptOf(record);
            text(out, record.correlationId);
            for (int64_t n : {a.started_after_us, a.name_lookup_us, a.connect_us, a.tls_us, a.first_byte_us, a.total_us,
                              static_cast<int64_t>(a.http_status), a.error_code}) {
                number(out, n);
            }
        }
        length = out.size();
        return detail::copyForCaller(out);
    });
    if (packed != nullptr && length_out != nullptr) *length_out = length;
    return packed;
}
