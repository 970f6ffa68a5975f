#include "common/GbkText.h"

#include <cstdint>

#include "host/LogText.h"

namespace hvr::tools {

std::string gbkToUtf8(std::string_view gbk) { return kra::gbkToUtf8(std::string(gbk)); }

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
