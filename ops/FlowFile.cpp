#include "ops/FlowFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "port/SystemFailure.h"

namespace hvr {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the flow record is stored in native byte order, which must be little-endian");

std::string flowFileName(const std::string& folder, const std::string& user) {
    return folder + user + FLOW_FILE_EXTENSION;
}

int64_t readFlowFilePushId(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    int64_t result = 0;
    struct stat st;
    if (::fstat(fd, &st) == 0 && st.st_size >= 8) {
        uint8_t bytes[FLOW_FILE_SIZE] = {};
        ssize_t got = ::pread(fd, bytes, sizeof bytes, 0);
        if (got >= 8) {
            uint64_t value = 0;
            for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
            result = static_cast<int64_t>(value);
        }
    }
    ::close(fd);
    return result;
}

void createFlowFileIfMissing(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) ::close(fd);
}

int64_t readStoredPushId(int pushMode, const std::string& path) {
    if (pushMode == 1) return -1;
    if (pushMode == 2) return 0;
    createFlowFileIfMissing(path);
    return readFlowFilePushId(path);
}

bool prepareFlowFile(const std::string& path, std::string* reason) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == FLOW_FILE_SIZE) return true;
    // Created or emptied, then its last byte written: 12 zero bytes. Opened
    // close-on-exec, as every descriptor of the module: a program a host
    // thread starts meanwhile does not get it.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return failWith(reason, systemReason(errno));
    const char zero = '\0';
    bool ok = ::pwrite(fd, &zero, 1, FLOW_FILE_SIZE - 1) == 1;
    int error = ok ? 0 : (errno != 0 ? errno : EIO);
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    return ok || failWith(reason, systemReason(error));
}

void encodeRecord(uint8_t (&bytes)[FLOW_FILE_SIZE], uint64_t pushId, uint32_t tradingDate) {
    for (std::size_t i = 0; i < 8; ++i) bytes[FLOW_OFFSET_PUSH_ID + i] = static_cast<uint8_t>(pushId >> (8 * i));
    for (std::size_t i = 0; i < 4; ++i)
        bytes[FLOW_OFFSET_TRADING_DATE + i] = static_cast<uint8_t>(tradingDate >> (8 * i));
}

}  // namespace hvr
