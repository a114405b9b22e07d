// Data protection: round trips in both scopes, key files private to their owner, and refusal of
// tampered, foreign and damaged data.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

#include "DvDataProtection.h"
#include "HttpTestServer.h"

using namespace dv;

namespace {

class DataProtectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("DVEWS_USER_KEY_DIR", (dir_.Path() / "user" / "dvews").c_str(), 1);
    setenv("DVEWS_MACHINE_KEY_DIR", (dir_.Path() / "machine").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("DVEWS_USER_KEY_DIR");
    unsetenv("DVEWS_MACHINE_KEY_DIR");
  }
  static TBytes Bytes(const std::string& s) { return TBytes(s.begin(), s.end()); }
  static std::string ErrorOf(const TBytes& data) {
    try {
      TDvDataProtection::Decrypt(data);
    } catch (const EDvDataProtectionException& e) {
      return e.what();
    }
    return {};
  }

  httptest::TempDir dir_;
};

}  // namespace

TEST_F(DataProtectionTest, RoundTripsInBothScopesWithPrivateKeyFiles) {
  const TBytes secret = TDvDataProtection::StringToBytes("pässwörd€😀", true);
  for (bool machine : {false, true}) {
    TBytes a = TDvDataProtection::Encrypt(secret, machine);
    TBytes b = TDvDataProtection::Encrypt(secret, machine);
    EXPECT_NE(a, b);  // a fresh nonce each time
    bool scope = !machine;
    EXPECT_EQ(TDvDataProtection::Decrypt(a, {}, &scope), secret);
    EXPECT_EQ(scope, machine);
    EXPECT_EQ(TDvDataProtection::Decrypt(b), secret);
  }
  EXPECT_EQ(TDvDataProtection::Decrypt(TDvDataProtection::Encrypt({})), TBytes());

  struct stat st {};
  ASSERT_EQ(stat((dir_.Path() / "user" / "dvews" / "user.key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat((dir_.Path() / "user" / "dvews").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(stat((dir_.Path() / "machine" / "machine.key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // The default folders follow XDG_CONFIG_HOME and the documented system folder.
  unsetenv("DVEWS_USER_KEY_DIR");
  unsetenv("DVEWS_MACHINE_KEY_DIR");
  setenv("XDG_CONFIG_HOME", "/tmp/cfg-test", 1);
  EXPECT_EQ(TDvDataProtection::KeyFolder(false), "/tmp/cfg-test/dvews");
  EXPECT_EQ(TDvDataProtection::KeyFolder(true), "/var/lib/dvews");
  unsetenv("XDG_CONFIG_HOME");
}

TEST_F(DataProtectionTest, TamperedForeignAndDamagedDataRefused) {
  const TBytes data = TDvDataProtection::Encrypt(Bytes("client secret"), false, Bytes("salt"));
  EXPECT_EQ(TDvDataProtection::Decrypt(data, Bytes("salt")), Bytes("client secret"));
  EXPECT_THROW(TDvDataProtection::Decrypt(data), EDvDataProtectionException);  // no entropy

  for (std::size_t at : {std::size_t(20), data.size() / 2 + 14, data.size() - 1}) {
    TBytes bad = data;
    bad[at] ^= 0x01;
    try {
      TDvDataProtection::Decrypt(bad, Bytes("salt"));
      FAIL() << "byte " << at;
    } catch (const EDvDataProtectionException& e) {
      EXPECT_NE(std::string(e.what()).find("tampered"), std::string::npos) << at;
    }
  }
  TBytes scope = data;
  scope[5] = 1;  // claims machine scope: that key does not match
  EXPECT_NE(ErrorOf(scope), "");
  EXPECT_NE(ErrorOf(TBytes(data.begin(), data.begin() + 20)).find("not protected data"),
            std::string::npos);
  EXPECT_NE(ErrorOf(Bytes("plain text, not protected at all")), "");

  // Another user's key (another key folder) cannot read it.
  httptest::TempDir other;
  setenv("DVEWS_USER_KEY_DIR", other.Path().c_str(), 1);
  EXPECT_NE(ErrorOf(data).find("another user key"), std::string::npos);
  TDvDataProtection::Encrypt(Bytes("x"));  // makes that folder's key
  EXPECT_NE(ErrorOf(data).find("another user key"), std::string::npos);
}

TEST_F(DataProtectionTest, KeyFileReadableByOthersRefused) {
  TBytes data = TDvDataProtection::Encrypt(Bytes("x"));
  std::string key = (dir_.Path() / "user" / "dvews" / "user.key").string();
  chmod(key.c_str(), 0644);
  EXPECT_NE(ErrorOf(data).find("may be read by others"), std::string::npos);
  EXPECT_THROW(TDvDataProtection::Encrypt(Bytes("y")), EDvDataProtectionException);
  chmod(key.c_str(), 0600);
  { std::ofstream truncate(key, std::ios::trunc); }
  EXPECT_NE(ErrorOf(data).find("damaged"), std::string::npos);
}

TEST(DataProtectionText, ConvertsBothWays) {
  const std::string text = "Grüße 😀 €";
  EXPECT_EQ(TDvDataProtection::StringToBytes(text), TBytes(text.begin(), text.end()));
  TBytes wide = TDvDataProtection::StringToBytes(text, true);
  EXPECT_EQ(wide.size(), 2u * 10);  // 9 characters, one of them a surrogate pair
  EXPECT_EQ(wide[0], 'G');
  EXPECT_EQ(wide[1], 0);
  EXPECT_EQ(TDvDataProtection::BytesToString(wide, true), text);
  EXPECT_EQ(TDvDataProtection::BytesToString(TDvDataProtection::StringToBytes(text), false), text);
}
