#include <gtest/gtest.h>

#include "engines/syncml/auth.h"

namespace vt::syncml {
namespace {

TEST(AuthTest, Md5CredentialOfTheRecordedFormula) {
    const Secret s = makeSecret("u", "p");
    const std::string nonce = "nonce";
    const std::string cred = base64(md5(s.hash + ":" + nonce));
    EXPECT_TRUE(checkMd5(s, nonce, cred, "u"));
    EXPECT_FALSE(checkMd5(s, "other", cred, "u"));
    EXPECT_FALSE(checkMd5(s, nonce, cred, "someone"));
    EXPECT_TRUE(checkBasic(s, base64("u:p")));
    EXPECT_FALSE(checkBasic(s, base64("u:q")));
}

}  // namespace
}  // namespace vt::syncml
