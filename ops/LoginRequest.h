// Building the login request: password digest, push-id choice and the
// ReqLogin message. Pure apart from the file read of readStoredPushId.
#pragma once

#include <cstdint>
#include <string>

#include "exchg.pb.h"

namespace hvr {

// The fixed client version sent with every login.
inline constexpr const char LOGIN_VERSION[] = "2019.08.14";

// pushmode values: 1 asks for new pushes only, 2 for every push of the day;
// anything else sends back the id stored in the user's flow file.
constexpr int PUSH_MODE_NEW_ONLY = 1;
constexpr int PUSH_MODE_REPLAY_ALL = 2;

// MD5 of the bytes of password (up to its terminating zero) as 32 lowercase
// hexadecimal characters.
std::string md5Hex(const std::string& password);

// Fills request: user, the digest of password, version, resource, pushId.
// Every field is set, resource and pushid included.
void buildLoginRequest(const std::string& user, const std::string& password, const std::string& resource,
                       int64_t pushId, exchg::ReqLogin& request);

}  // namespace hvr
