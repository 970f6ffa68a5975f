// Texts of the server's result codes, as static GBK byte strings.
#pragma once

#include <cstdint>

namespace hvr {

// A static, zero-terminated GBK text for a result code; never null. Codes
// without a text of their own give the text for "other error".
const char* errorCodeText(int32_t code);

}  // namespace hvr
