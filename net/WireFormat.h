// The byte layout of the wire: the 16-byte packet header, its limits and the
// function codes the trader sends and handles. Every other file uses these
// names; none spells an offset or a size as a bare number.
//
// Header, all fields little-endian:
//   offset  0  u16  magic         always PACKET_MAGIC
//   offset  2  u16  functionCode  exchg::FunctionCode of the payload
//   offset  4  u32  packetLength  16 + payload length
//   offset  8  u32  rawLength     0 = plain payload; else 16 + inflated length
//   offset 12  u32  requestNo     sender's request number; 0 in heartbeats
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace hvr {

constexpr std::size_t PACKET_HEADER_SIZE = 16;
constexpr uint16_t PACKET_MAGIC = 0xFFFF;
constexpr uint32_t MAX_PACKET_SIZE = 0x2000000;
constexpr std::size_t READ_BUFFER_SIZE = 0x400000;

constexpr std::size_t OFFSET_MAGIC = 0;
constexpr std::size_t OFFSET_FUNCTION_CODE = 2;
constexpr std::size_t OFFSET_PACKET_LENGTH = 4;
constexpr std::size_t OFFSET_RAW_LENGTH = 8;
constexpr std::size_t OFFSET_REQUEST_NO = 12;

// Function codes (values of exchg::FunctionCode) the trader sends or handles.
enum FunctionCode : uint16_t {
    FC_CMD_LOGIN = 1,
    FC_CMD_ORDER_INSERT = 2,
    FC_CMD_ORDER_CANCEL = 3,
    FC_QRY_ORDERS = 30,
    FC_QRY_TRADES = 31,
    FC_QRY_POSITION = 33,
    FC_QRY_ACCOUNT_INFO = 35,
    FC_PUSH_ORDER = 60,
    FC_PUSH_TRADE = 61,
    FC_PUSH_NOTIFY = 62,
    FC_PUSH_MESSAGE = 69,
    FC_HEART_BEAT = 100,
    FC_HEART_BEAT2 = 101,
    FC_CMD_LOGOUT = 999,
};

struct PacketHeader {
    uint16_t magic = PACKET_MAGIC;
    uint16_t functionCode = 0;
    uint32_t packetLength = PACKET_HEADER_SIZE;
    uint32_t rawLength = 0;
    uint32_t requestNo = 0;
};

inline uint16_t readLE16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t readLE32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void writeLE16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline void writeLE32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// Reads the header at p, which must hold PACKET_HEADER_SIZE bytes.
inline PacketHeader decodeHeader(const uint8_t* p) {
    PacketHeader h;
    h.magic = readLE16(p + OFFSET_MAGIC);
    h.functionCode = readLE16(p + OFFSET_FUNCTION_CODE);
    h.packetLength = readLE32(p + OFFSET_PACKET_LENGTH);
    h.rawLength = readLE32(p + OFFSET_RAW_LENGTH);
    h.requestNo = readLE32(p + OFFSET_REQUEST_NO);
    return h;
}

// Writes h into the PACKET_HEADER_SIZE bytes at p.
inline void encodeHeader(const PacketHeader& h, uint8_t* p) {
    writeLE16(p + OFFSET_MAGIC, h.magic);
    writeLE16(p + OFFSET_FUNCTION_CODE, h.functionCode);
    writeLE32(p + OFFSET_PACKET_LENGTH, h.packetLength);
    writeLE32(p + OFFSET_RAW_LENGTH, h.rawLength);
    writeLE32(p + OFFSET_REQUEST_NO, h.requestNo);
}

// Appends a whole packet (header + payload) to out. rawLength is 0 for a
// plain payload, else 16 + the inflated payload's length. The function code
// keeps its low 16 bits.
inline void appendPacket(std::string& out, uint32_t functionCode, uint32_t requestNo, const char* payload,
                         std::size_t payloadLength, uint32_t rawLength = 0) {
    PacketHeader h;
    h.functionCode = static_cast<uint16_t>(functionCode);
    h.packetLength = static_cast<uint32_t>(PACKET_HEADER_SIZE + payloadLength);
    h.rawLength = rawLength;
    h.requestNo = requestNo;
    uint8_t header[PACKET_HEADER_SIZE];
    encodeHeader(h, header);
    out.append(reinterpret_cast<const char*>(header), PACKET_HEADER_SIZE);
    if (payloadLength > 0) out.append(payload, payloadLength);
}

// Appends a request packet: requests are never compressed.
inline void appendRequestPacket(std::string& out, uint32_t functionCode, uint32_t requestNo,
                                const char* payload, std::size_t payloadLength) {
    appendPacket(out, functionCode, requestNo, payload, payloadLength);
}

}  // namespace hvr
