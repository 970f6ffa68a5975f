#include "LoginRequest.h"

#include <openssl/evp.h>

#include <memory>
#include <stdexcept>

namespace hvr {

std::string md5Hex(const std::string& password) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1 ||
        EVP_DigestUpdate(ctx.get(), password.data(), password.size()) != 1 ||
        EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1) {
        throw std::runtime_error("MD5 digest unavailable in libcrypto");
    }
    static const char hex[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        text.push_back(hex[digest[i] >> 4]);
        text.push_back(hex[digest[i] & 0x0f]);
    }
    return text;
}

void buildLoginRequest(const std::string& user, const std::string& password, const std::string& resource,
                       int64_t pushId, exchg::ReqLogin& request) {
    request.set_username(user);
    request.set_password(md5Hex(password));
    request.set_version(LOGIN_VERSION);
    request.set_resource(resource);
    request.set_pushid(pushId);
}

}  // namespace hvr
