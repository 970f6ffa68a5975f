// GBK to UTF-8 conversion for text the adapter hands to the host: its log
// lines, server messages in NXSError and text fields of records. The
// conversion is the installed host helper's (host/LogText.h), so both hosts
// read text as any host does. Pure; safe to call from any thread (each call
// opens its own iconv descriptor).
#pragma once

#include <string>
#include <string_view>

namespace hvr::tools {

// The UTF-8 form of GBK text. ASCII passes through unchanged. A byte sequence
// that is not GBK (a stray lead byte, a truncated pair) becomes U+FFFD and
// the conversion goes on with the next byte, so a bad byte never hides the
// rest of a line.
std::string gbkToUtf8(std::string_view gbk);

// Text of unknown encoding made readable: kept as is when it is valid UTF-8
// (an instrument code typed in UTF-8 and echoed back by the server), read as
// GBK otherwise (the adapter's and the server's texts).
std::string readableText(std::string_view bytes);

// True when bytes are well-formed UTF-8 (no overlong forms, no surrogates).
bool isValidUtf8(std::string_view bytes);

}  // namespace hvr::tools
