#include "cli/GbkText.h"

#include <iconv.h>

#include <cerrno>
#include <stdexcept>

namespace hvr::cli {

namespace {

constexpr char REPLACEMENT_CHARACTER[] = "\xEF\xBF\xBD";

bool isAscii(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

// Owns one iconv descriptor for the duration of a conversion.
class GbkDecoder {
public:
    GbkDecoder() : descriptor(iconv_open("UTF-8", "GBK")) {
        if (descriptor == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv cannot convert GBK to UTF-8");
    }
    ~GbkDecoder() { iconv_close(descriptor); }
    GbkDecoder(const GbkDecoder&) = delete;
    GbkDecoder& operator=(const GbkDecoder&) = delete;

    std::string decode(std::string_view gbk) {
        std::string out;
        out.reserve(gbk.size() * 3 / 2 + 4);
        char* in = const_cast<char*>(gbk.data());
        std::size_t inLeft = gbk.size();
        char chunk[256];
        while (inLeft > 0) {
            char* outPtr = chunk;
            std::size_t outLeft = sizeof chunk;
            const std::size_t rc = iconv(descriptor, &in, &inLeft, &outPtr, &outLeft);
            out.append(chunk, static_cast<std::size_t>(outPtr - chunk));
            if (rc != static_cast<std::size_t>(-1)) continue;
            if (errno == E2BIG) continue;  // the chunk was full: drain and go on
            // EILSEQ (not GBK) or EINVAL (a pair cut off at the end).
            out += REPLACEMENT_CHARACTER;
            ++in;
            --inLeft;
            iconv(descriptor, nullptr, nullptr, nullptr, nullptr);  // reset the shift state
        }
        return out;
    }

private:
    iconv_t descriptor;
};

}  // namespace

std::string gbkToUtf8(std::string_view gbk) {
    if (isAscii(gbk)) return std::string(gbk);
    GbkDecoder decoder;
    return decoder.decode(gbk);
}

}  // namespace hvr::cli
