// The per-user flow file: 12 bytes, little-endian, that keep the id of the
// last push handled (offset 0, 64 bits) and the trading date of the last
// successful login (offset 8, 32 bits). Its name is the folder text, the user
// name and ".flow", joined with nothing in between.
//
// The layout and the record's encoding are pure; the functions that take a
// path read, create or reset the file itself. Any thread; which thread may
// call what is the trader's matter (see TraderHVR.h). The mapping of an open
// record is port/MappedFile.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace hvr {

constexpr std::size_t FLOW_FILE_SIZE = 12;
constexpr std::size_t FLOW_OFFSET_PUSH_ID = 0;
constexpr std::size_t FLOW_OFFSET_TRADING_DATE = 8;
inline constexpr const char FLOW_FILE_EXTENSION[] = ".flow";

// folder + user + ".flow", with no separator added.
std::string flowFileName(const std::string& folder, const std::string& user);

// The push id stored in the file: its first 8 bytes as a little-endian signed
// value. A file that is missing, cannot be opened, or holds fewer than 8
// bytes gives 0. Only reads.
int64_t readFlowFilePushId(const std::string& path);

// Creates the file, empty, when nothing is at path (and the folder lets it);
// an existing file is left as it is.
void createFlowFileIfMissing(const std::string& path);

// The push id a login sends while no flow record is open: -1 for pushmode 1,
// 0 for pushmode 2 (the file is not touched in either case), otherwise the
// value stored in the file, which is created empty first when missing.
int64_t readStoredPushId(int pushMode, const std::string& path);

// Makes the file exactly 12 bytes: a file of any other size (or a missing
// one) becomes 12 zero bytes; a 12-byte file keeps its content. Returns false
// when the file could not be reset, with the system's reason in *reason.
bool prepareFlowFile(const std::string& path, std::string* reason = nullptr);

// Record access. The push id is one aligned 64-bit word, stored and loaded
// whole, so that a reader on another thread never sees half a value. Inline:
// every push stores.
inline int64_t loadRecordPushId(const uint8_t* record) {
    const uint64_t* word = reinterpret_cast<const uint64_t*>(record + FLOW_OFFSET_PUSH_ID);
    return static_cast<int64_t>(__atomic_load_n(word, __ATOMIC_RELAXED));
}
inline uint32_t loadRecordTradingDate(const uint8_t* record) {
    const uint32_t* word = reinterpret_cast<const uint32_t*>(record + FLOW_OFFSET_TRADING_DATE);
    return __atomic_load_n(word, __ATOMIC_RELAXED);
}
inline void storeRecordPushId(uint8_t* record, uint64_t pushId) {
    uint64_t* word = reinterpret_cast<uint64_t*>(record + FLOW_OFFSET_PUSH_ID);
    __atomic_store_n(word, pushId, __ATOMIC_RELAXED);
}
inline void storeRecordTradingDate(uint8_t* record, uint32_t tradingDate) {
    uint32_t* word = reinterpret_cast<uint32_t*>(record + FLOW_OFFSET_TRADING_DATE);
    __atomic_store_n(word, tradingDate, __ATOMIC_RELAXED);
}
// The 12 bytes of a record, as the file holds them.
void encodeRecord(uint8_t (&bytes)[FLOW_FILE_SIZE], uint64_t pushId, uint32_t tradingDate);

}  // namespace hvr
