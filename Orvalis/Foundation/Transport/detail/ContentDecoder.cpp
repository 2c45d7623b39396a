#include <Orvalis/Foundation/Transport/detail/ContentDecoder.h>
#include <zlib.h>

#include <algorithm>
#include <string>

namespace orvalis::detail {
namespace {

constexpr std::size_t kMaxStages = 5;
constexpr std::size_t kChunk = 16 * 1024;

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool equalsLower(std::string_view text, std::string_view lower) {
    return text.size() == lower.size() && std::equal(text.begin(), text.end(), lower.begin(), [](char a, char b) {
               return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
           });
}

// RFC 1950 header check: deflate method, window at most 32K, check bits.
bool isZlibHeader(unsigned char b0, unsigned char b1) {
    return (b0 & 0x0f) == 8 && (b0 >> 4) <= 7 && ((b0 << 8) | b1) % 31 == 0;
}

}  // namespace

struct ContentDecoder::Stage {
    bool gzip = false;
    bool started = false;  // inflate set up (the stream has begun)
    bool ended = false;    // the current stream or member is complete
    std::string head;      // deflate: the first bytes, until zlib or raw is known
    z_stream z{};

    ~Stage() {
        if (started) inflateEnd(&z);
    }
    bool begin(int windowBits) {
        z = z_stream{};
        if (inflateInit2(&z, windowBits) != Z_OK) return false;
        started = true;
        return true;
    }
};

ContentDecoder::ContentDecoder() = default;
ContentDecoder::~ContentDecoder() = default;
ContentDecoder::ContentDecoder(ContentDecoder&&) noexcept = default;
ContentDecoder& ContentDecoder::operator=(ContentDecoder&&) noexcept = default;

bool ContentDecoder::configure(const std::vector<std::string_view>& contentEncodings) {
    stages_.clear();
    std::vector<std::unique_ptr<Stage>> applied;
    for (std::string_view field : contentEncodings) {
        while (true) {
            const size_t comma = field.find(',');
            const std::string_view name = trimmed(field.substr(0, comma));
            if (!name.empty() && !equalsLower(name, "identity")) {
                auto stage = std::make_unique<Stage>();
                if (equalsLower(name, "gzip") || equalsLower(name, "x-gzip")) {
                    stage->gzip = true;
                } else if (!equalsLower(name, "deflate")) {
                    return false;
                }
                if (applied.size() == kMaxStages) return false;
                applied.push_back(std::move(stage));
            }
            if (comma == std::string_view::npos) break;
            field.remove_prefix(comma + 1);
        }
    }
    // Encodings are listed in the order applied; decoding undoes the last first.
    std::reverse(applied.begin(), applied.end());
    stages_ = std::move(applied);
    return true;
}

bool ContentDecoder::active() const noexcept { return !stages_.empty(); }

bool ContentDecoder::feed(std::string_view bytes, const Sink& sink) {
    if (stages_.empty()) return sink(bytes);
    return feedStage(0, bytes, sink);
}

bool ContentDecoder::feedStage(std::size_t index, std::string_view bytes, const Sink& sink) {
    if (index == stages_.size()) return sink(bytes);
    if (bytes.empty()) return true;
    Stage& s = *stages_[index];
    if (!s.started) {
        if (s.gzip) {
            if (!s.begin(16 + MAX_WBITS)) return false;
        } else {
            // "deflate" should be zlib-wrapped, but some servers send the raw stream.
            s.head.append(bytes);
            if (s.head.size() < 2) return true;
            const bool zlib =
                isZlibHeader(static_cast<unsigned char>(s.head[0]), static_cast<unsigned char>(s.head[1]));
            if (!s.begin(zlib ? MAX_WBITS : -MAX_WBITS)) return false;
            std::string head = std::move(s.head);
            s.head.clear();
            return feedStage(index, head, sink);
        }
    }
    s.z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    s.z.avail_in = static_cast<uInt>(bytes.size());
    unsigned char out[kChunk];
    while (true) {
        if (s.ended) {
            if (s.z.avail_in == 0) return true;
            // Another gzip member follows (RFC 1952 allows any number); a deflate
            // stream has exactly one, so bytes after it do not decode.
            if (!s.gzip || inflateReset(&s.z) != Z_OK) return false;
            s.ended = false;
        }
        s.z.next_out = out;
        s.z.avail_out = sizeof out;
        const int rc = inflate(&s.z, Z_NO_FLUSH);
        if (rc == Z_STREAM_END) {
            s.ended = true;
        } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
            return false;
        }
        const std::size_t produced = sizeof out - s.z.avail_out;
        if (produced > 0 &&
            !feedStage(index + 1, std::string_view(reinterpret_cast<const char*>(out), produced), sink)) {
            return false;
        }
        if (!s.ended && s.z.avail_in == 0 && s.z.avail_out != 0) return true;
        if (rc == Z_BUF_ERROR && produced == 0) return true;
    }
}

bool ContentDecoder::complete() const noexcept {
    for (const auto& stage : stages_) {
        if (!stage->head.empty() || (stage->started && !stage->ended)) return false;
    }
    return true;
}

}  // namespace orvalis::detail
