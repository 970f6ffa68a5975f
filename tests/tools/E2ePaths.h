// Paths of the built programs, given by CMake.
#pragma once

namespace hvr::e2e {

inline constexpr const char SIM_BINARY[] = HVR_SIM_BINARY;
inline constexpr const char HOST_BINARY[] = HVR_HOST_BINARY;
inline constexpr const char MODULE_PATH[] = HVR_MODULE_PATH;
inline constexpr const char DEMO_DIR[] = HVR_DEMO_DIR;

}  // namespace hvr::e2e
