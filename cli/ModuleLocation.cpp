#include "cli/ModuleLocation.h"

#include <unistd.h>

#include <climits>
#include <filesystem>

namespace hvr::cli {

std::string defaultModulePath(const std::string& executableDir, const std::vector<std::string>& relativeCandidates,
                              const std::string& soname) {
    if (!executableDir.empty()) {
        for (const std::string& relative : relativeCandidates) {
            const std::filesystem::path candidate = std::filesystem::path(executableDir) / relative;
            std::error_code error;
            if (std::filesystem::is_regular_file(candidate, error))
                return candidate.lexically_normal().string();
        }
    }
    return soname;
}

std::string executableDir() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return {};
    return std::filesystem::path(std::string(path, static_cast<std::size_t>(length))).parent_path().string();
}

}  // namespace hvr::cli
