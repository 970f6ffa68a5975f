/// @file
/// Reading the module's log lines and texts in a host: GBK to UTF-8 (with
/// iconv, from the C library on Linux), and the text of one
/// ITraderListener::logMessage call. Header-only, C++14; any thread.
///
/// A listener's logMessage gets a printf format and its arguments, both GBK
/// text ("[TraderHVR]连接成功" arrives as GBK bytes). To print or log it as
/// UTF-8:
/// @code
/// void logMessage(int level, const char* format, ...) override {
///     va_list args;
///     va_start(args, format);
///     const std::string line = kra::logMessageText(format, args);
///     va_end(args);
///     std::printf("log %d: %s\n", level, line.c_str());
/// }
/// @endcode
/// The other texts the module hands over are GBK as well (NXSError::message,
/// an order's stateMessage, ...): kra::gbkToUtf8 reads them. What each line
/// means: log-lines.md, installed beside this package's documentation
/// (share/doc/TraderHVR/).
#pragma once

#include <iconv.h>

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace kra {

/// The UTF-8 form of GBK text. ASCII passes through unchanged. A byte
/// sequence that is not GBK (a stray lead byte, a pair cut off at the end)
/// becomes U+FFFD and the conversion goes on with the next byte, so a bad
/// byte never hides the rest of a line. Should the C library have no GBK
/// converter, the text comes back unchanged.
inline std::string gbkToUtf8(const std::string& gbk) {
    bool ascii = true;
    for (char c : gbk) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) return gbk;
    const iconv_t converter = iconv_open("UTF-8", "GBK");
    if (converter == reinterpret_cast<iconv_t>(-1)) return gbk;
    std::string out;
    out.reserve(gbk.size() * 3 / 2 + 4);
    std::vector<char> input(gbk.begin(), gbk.end());
    char* in = input.data();
    std::size_t inLeft = input.size();
    char chunk[256];
    while (inLeft > 0) {
        char* outPtr = chunk;
        std::size_t outLeft = sizeof chunk;
        const std::size_t rc = iconv(converter, &in, &inLeft, &outPtr, &outLeft);
        out.append(chunk, static_cast<std::size_t>(outPtr - chunk));
        if (rc != static_cast<std::size_t>(-1) || errno == E2BIG) continue;  // a full chunk: drain, go on
        // EILSEQ (not GBK) or EINVAL (a pair cut off at the end).
        out += "\xEF\xBF\xBD";
        ++in;
        --inLeft;
        iconv(converter, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
    }
    iconv_close(converter);
    return out;
}

/// The line one logMessage call describes, formatted as printf does and
/// still in GBK, however long. A format the C library refuses comes back as
/// the format itself, so a line is never lost. `args` is consumed as
/// vsnprintf consumes it.
inline std::string formatLogMessage(const char* format, va_list args) {
    if (format == nullptr) return std::string();
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length < 0) return format;
    std::vector<char> text(static_cast<std::size_t>(length) + 1);
    std::vsnprintf(text.data(), text.size(), format, args);
    return std::string(text.data(), static_cast<std::size_t>(length));
}

/// The line of one logMessage call in UTF-8: formatLogMessage, then
/// gbkToUtf8.
inline std::string logMessageText(const char* format, va_list args) {
    return gbkToUtf8(formatLogMessage(format, args));
}

}  // namespace kra
