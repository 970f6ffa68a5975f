// The exchg schema as compiled: its size and the defaults that matter.
#include <gtest/gtest.h>

#include "exchg.pb.h"

namespace {

TEST(Schema, HoldsTheWholeServerProtocol) {
    const google::protobuf::FileDescriptor* file = exchg::ReqLogin::descriptor()->file();
    EXPECT_EQ(file->name(), "exchg.proto");
    EXPECT_EQ(file->package(), "exchg");
    EXPECT_EQ(file->message_type_count(), 59);
    EXPECT_EQ(file->enum_type_count(), 11);
    EXPECT_EQ(file->syntax(), google::protobuf::FileDescriptor::SYNTAX_PROTO2);
}

TEST(Schema, AbsentFieldsReadAsTheirDefaults) {
    exchg::ReqLogin login;
    login.set_username("u");
    login.set_password("p");
    login.set_version("v");
    exchg::ReqLogin back;
    ASSERT_TRUE(back.ParseFromString(login.SerializeAsString()));
    EXPECT_EQ(back.pushid(), -1);
    EXPECT_FALSE(back.has_pushid());

    EXPECT_EQ(exchg::AnsOrderInsert().message(), "");
    EXPECT_EQ(exchg::Order().statemsg(), "");
    EXPECT_EQ(exchg::AccountInfo().currency(), "CNY");
    EXPECT_EQ(exchg::ReqOrderInsert().posid(), 0u);
}

TEST(Schema, CompleteParseRefusesMissingRequiredFields) {
    exchg::AnsOrderInsert answer;
    EXPECT_FALSE(answer.ParseFromString(""));
    exchg::OrderList empty;
    EXPECT_TRUE(empty.ParseFromString(""));
}

TEST(Schema, KeepsTheProtocolsOwnSpellings) {
    EXPECT_NE(exchg::Position::descriptor()->FindFieldByName("newvolumn"), nullptr);
    EXPECT_NE(exchg::Position::descriptor()->FindFieldByName("avaliprevol"), nullptr);
    EXPECT_EQ(exchg::OS_Unkown, 6);
    EXPECT_EQ(exchg::DT_Multiday, 1);
    EXPECT_EQ(exchg::FC_CmdLogout, 999);
    EXPECT_EQ(exchg::EC_UNKNOWN, -90);
}

}  // namespace
