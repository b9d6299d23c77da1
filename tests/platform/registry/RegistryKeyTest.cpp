#include "platform/registry/RegistryKey.h"

#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

namespace
{
class RegistryKey : public ::testing::Test
{
protected:
    CTempDir m_dir;
    CScopedEnv m_xdg{"XDG_CONFIG_HOME", m_dir.Path().string()};
};
} // namespace

TEST_F(RegistryKey, ValuesRoundTripWithTheirRules)
{
    CRegistryKey key;
    ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, "Software\\Quenlor\\Vistrel"), ERROR_SUCCESS);
    ASSERT_EQ(key.SetDword(DWORD(-1), "CaptureDevice"), ERROR_SUCCESS);
    DWORD v = 0;
    ASSERT_EQ(key.QueryDword(&v, "CaptureDevice"), ERROR_SUCCESS);
    EXPECT_EQ(v, 0xFFFFFFFFu);
    EXPECT_EQ(std::int32_t(v), -1);

    // The stored type plays no part: a 4-byte binary reads as a little-endian integer.
    const BYTE four[4] = {0x78, 0x56, 0x34, 0x12};
    key.SetBinary(four, 4, "Four");
    ASSERT_EQ(key.QueryDword(&v, "Four"), ERROR_SUCCESS);
    EXPECT_EQ(v, 0x12345678u);
    // Longer values fail with "more data"; shorter ones arrive zero-extended.
    const BYTE eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    key.SetBinary(eight, 8, "ServerPort");
    v = 99;
    EXPECT_EQ(key.QueryDword(&v, "ServerPort"), ERROR_MORE_DATA);
    EXPECT_EQ(v, 99u);
    key.SetBinary(four, 2, "Two");
    ASSERT_EQ(key.QueryDword(&v, "Two"), ERROR_SUCCESS);
    EXPECT_EQ(v, 0x5678u);

    // Texts: 1023 characters fit the 1024-byte buffer with their zero, 1024 do not.
    const std::string s1023(1023, 'a');
    const std::string s1024(1024, 'b');
    key.SetString(s1023.c_str(), "T1023");
    key.SetString(s1024.c_str(), "T1024");
    std::string out = "unchanged";
    EXPECT_EQ(key.QueryString(out, "T1024"), ERROR_MORE_DATA);
    EXPECT_EQ(out, "unchanged");
    EXPECT_EQ(key.QueryString(out, "T1023"), ERROR_SUCCESS);
    EXPECT_EQ(out, s1023);
    // A text stored without its zero, filling the whole buffer, is not read past its end.
    const std::string exact(1024, 'c');
    key.SetBinary(exact.data(), 1024, "NoZero");
    EXPECT_EQ(key.QueryString(out, "NoZero"), ERROR_SUCCESS);
    EXPECT_EQ(out, exact);
    key.SetString("", "Empty");
    EXPECT_EQ(key.QueryString(out, "Empty"), ERROR_SUCCESS);
    EXPECT_EQ(out, "");
}

TEST_F(RegistryKey, ClosedOrUnopenedKeysFailEveryCallWithTheirOwnStatus)
{
    CRegistryKey never;
    DWORD v = 5;
    std::string s = "keep";
    EXPECT_EQ(never.QueryDword(&v, "x"), ERROR_INVALID_HANDLE);
    EXPECT_EQ(never.QueryString(s, "x"), ERROR_INVALID_HANDLE);
    EXPECT_EQ(never.SetDword(1, "x"), ERROR_INVALID_HANDLE);
    EXPECT_EQ(never.SetString("a", "x"), ERROR_INVALID_HANDLE);
    EXPECT_EQ(v, 5u);
    EXPECT_EQ(s, "keep");
    never.Close();
    EXPECT_EQ(never.m_hKey, nullptr);

    CRegistryKey key;
    ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, "K"), ERROR_SUCCESS);
    key.Close();
    EXPECT_EQ(key.m_hKey, nullptr);
    key.Close();
    EXPECT_EQ(key.SetDword(1, "x"), ERROR_INVALID_HANDLE);

    CRegistryKey sub;
    EXPECT_EQ(sub.CreateSubKey(key, "caption0"), ERROR_INVALID_HANDLE);
    EXPECT_EQ(sub.m_hKey, nullptr);

    CRegistryKey bad;
    EXPECT_NE(bad.Create(HKEY_LOCAL_MACHINE, "a\\\\b"), ERROR_SUCCESS);
    EXPECT_EQ(bad.m_hKey, nullptr);
    EXPECT_EQ(bad.SetDword(1, "x"), ERROR_INVALID_HANDLE);
}
