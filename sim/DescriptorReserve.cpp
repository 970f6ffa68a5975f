#include "DescriptorReserve.h"

#include <fcntl.h>
#include <unistd.h>

namespace hvr::sim {

DescriptorReserve::DescriptorReserve(int count) : count_(count) { refill(); }

DescriptorReserve::~DescriptorReserve() { release(); }

void DescriptorReserve::release() {
    for (int fd : held_) ::close(fd);
    held_.clear();
}

void DescriptorReserve::refill() {
    while (static_cast<int>(held_.size()) < count_) {
        const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0) return;
        held_.push_back(fd);
    }
}

}  // namespace hvr::sim
