// libFuzzer entry: an arbitrary byte stream, received in arbitrary chunks,
// through the trader's framing, dispatch and conversions (see FuzzStream.h for
// the input layout). Crashes, sanitizer reports, leaks and the invariant
// checks of FuzzStream.cpp and ConvertingHandler.cpp are the findings.
#include <cstddef>
#include <cstdint>

#include <google/protobuf/stubs/logging.h>

#include "ConvertingHandler.h"
#include "FuzzStream.h"

// Debug builds of the generated code log every string field that is not
// UTF-8; the server sends GBK text in them, so nearly every mutated input
// would print a line. The parse result does not depend on the log.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    google::protobuf::SetLogHandler(nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    // Read-only after its construction, so sharing it across inputs keeps each
    // run independent of the ones before.
    static kra::SimpleContractCatalog catalog = hvr_fuzz::makeFuzzCatalog();
    hvr_fuzz::ConvertingHandler handler(&catalog);
    hvr_fuzz::feedStream(hvr_fuzz::splitFuzzInput(data, size), handler);
    return 0;
}
