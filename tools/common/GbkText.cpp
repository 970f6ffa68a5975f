#include "common/GbkText.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <stdexcept>

namespace hvr::tools {

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

bool isValidUtf8(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        std::size_t extra = 0;
        uint32_t codePoint = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1;
            codePoint = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2;
            codePoint = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3;
            codePoint = lead & 0x07;
        } else {
            return false;
        }
        if (bytes.size() - i <= extra) return false;  // truncated sequence
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        static constexpr uint32_t SMALLEST[] = {0, 0x80, 0x800, 0x10000};
        if (codePoint < SMALLEST[extra] || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

std::string readableText(std::string_view bytes) {
    if (isValidUtf8(bytes)) return std::string(bytes);
    return gbkToUtf8(bytes);
}

}  // namespace hvr::tools
