// The login request: the password digest and the fields sent.
#include <gtest/gtest.h>

#include "ops/LoginRequest.h"

namespace hvr {
namespace {

TEST(LoginRequest, PasswordTravelsAsLowercaseMd5Hex) {
    EXPECT_EQ(md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5Hex("The quick brown fox jumps over the lazy dog"), "9e107d9d372bb6826bd81d3542a419d6");
    EXPECT_EQ(md5Hex("\xd6\xd0\xce\xc4"), md5Hex(std::string("\xd6\xd0\xce\xc4")));  // bytes, no conversion
}

TEST(LoginRequest, EveryFieldIsSentEvenWhenEmptyOrDefault) {
    exchg::ReqLogin request;
    buildLoginRequest("alice", "", "", -1, request);
    EXPECT_TRUE(request.IsInitialized());
    EXPECT_EQ(request.username(), "alice");
    EXPECT_EQ(request.password(), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(request.version(), "2019.08.14");
    EXPECT_TRUE(request.has_resource());
    EXPECT_EQ(request.resource(), "");
    EXPECT_TRUE(request.has_pushid());
    EXPECT_EQ(request.pushid(), -1);

    exchg::ReqLogin back;
    ASSERT_TRUE(back.ParseFromString(request.SerializeAsString()));
    EXPECT_TRUE(back.has_pushid());
    EXPECT_TRUE(back.has_resource());
}

TEST(LoginRequest, DigestDoesNotDependOnTheUser) {
    exchg::ReqLogin a, b;
    buildLoginRequest("alice", "secret", "r", 5, a);
    buildLoginRequest("bob", "secret", "r", 5, b);
    EXPECT_EQ(a.password(), b.password());
    EXPECT_EQ(a.pushid(), 5);
}

}  // namespace
}  // namespace hvr
