#include <gtest/gtest.h>

#include <cstring>

#include "platform/kernel/WideText.h"
#include "kframework/RegistryKey.h"
#include "platform/kernel/RegistryHive.h"
#include "platform/kernel/Scheduler.h"

namespace {

constexpr WCHAR kKey[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kfwreg\\Parameters";

class RegistryKeys : public testing::Test {
 protected:
  void SetUp() override {
    plat::RegistryHive::Clear();
    plat::RegistryHive::CreateKey(plat::U16(kKey));
    plat::RegistryHive::SetDword(plat::U16(kKey), u"Dword", 0x12345678);
    UCHAR two[2] = {0xAB, 0xCD};
    plat::RegistryHive::SetValue(plat::U16(kKey), u"Short", REG_BINARY, two, sizeof two);
    UCHAR eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    plat::RegistryHive::SetValue(plat::U16(kKey), u"Long", REG_BINARY, eight, sizeof eight);
  }
  void TearDown() override { plat::RegistryHive::Clear(); }
  plat::Scheduler sched;
};

TEST_F(RegistryKeys, OpensUnderEveryRootWithOrWithoutSeparatorsAndCreatesWhenAsked) {
  struct Case {
    const char* what;
    PCWSTR root;
    PCWSTR relative;
    BOOLEAN create;
    NTSTATUS status;
  } cases[] = {
      {"joined with a separator", L"\\Registry\\Machine\\System\\CurrentControlSet\\Services", L"kfwreg", FALSE, STATUS_SUCCESS},
      {"root ends with one", L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\", L"kfwreg", FALSE, STATUS_SUCCESS},
      {"relative starts with one", L"\\Registry\\Machine\\System\\CurrentControlSet\\Services", L"\\kfwreg", FALSE, STATUS_SUCCESS},
      {"missing", L"\\Registry\\Machine\\System\\CurrentControlSet\\Services", L"kfwnone", FALSE, STATUS_OBJECT_NAME_NOT_FOUND},
      {"missing, created", L"\\Registry\\Machine\\System\\CurrentControlSet\\Services", L"kfwnew", TRUE, STATUS_SUCCESS},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RegistryKey key(c.root, c.relative, KEY_READ, OBJ_CASE_INSENSITIVE, c.create, 0);
    EXPECT_EQ(key.mStatus, c.status);
    EXPECT_EQ(key.mHandle != nullptr, NT_SUCCESS(c.status));
  }
  RegistryKey byKind(1, L"kfwreg\\Parameters", KEY_READ, OBJ_CASE_INSENSITIVE, FALSE, 0);
  EXPECT_EQ(byKind.mStatus, STATUS_SUCCESS);
}

TEST_F(RegistryKeys, DwordQueryCopiesShortDataOfAnotherTypeButReportsIt) {
  RegistryKey key(0u, kKey, KEY_READ, OBJ_CASE_INSENSITIVE, FALSE, 0);
  struct Case {
    PCWSTR name;
    NTSTATUS status;
    ULONG value;
  } cases[] = {
      {L"Dword", STATUS_SUCCESS, 0x12345678},
      {L"Short", STATUS_OBJECT_TYPE_MISMATCH, 0xFFFFCDAB},
      {L"Long", STATUS_BUFFER_OVERFLOW, 0xFFFFFFFF},
      {L"Missing", STATUS_OBJECT_NAME_NOT_FOUND, 0xFFFFFFFF},
  };
  for (const auto& c : cases) {
    ULONG value = 0xFFFFFFFF;
    EXPECT_EQ(key.QueryDwordValue(c.name, &value), c.status);
    EXPECT_EQ(value, c.value);
  }
  EXPECT_EQ(key.SetDwordValue(L"Dword", 7), STATUS_SUCCESS);
  ULONG value = 0;
  EXPECT_EQ(key.QueryDwordValue(L"Dword", &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 7u);
}

TEST_F(RegistryKeys, ValueQueryCopiesOnlyOnSuccessAndNeverPastTheCallersSize) {
  RegistryKey key(0u, kKey, KEY_READ, OBJ_CASE_INSENSITIVE, FALSE, 0);
  struct Case {
    const char* what;
    ULONG size;
    NTSTATUS status;
    ULONG got;
  } cases[] = {
      {"sized by the value", 0, STATUS_SUCCESS, 8},
      {"a larger buffer", 12, STATUS_SUCCESS, 8},
      {"a smaller buffer", 4, STATUS_BUFFER_OVERFLOW, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    UCHAR mine[12];
    std::memset(mine, 0xEE, sizeof mine);
    PVOID buffer = c.size == 0 ? nullptr : mine;
    ULONG size = c.size;
    EXPECT_EQ(key.QueryValue(L"Long", &buffer, &size, PagedPool), c.status);
    EXPECT_EQ(size, c.got);
    auto* bytes = static_cast<UCHAR*>(buffer);
    if (NT_SUCCESS(c.status)) {
      EXPECT_EQ(bytes[7], 8);
    } else {
      EXPECT_EQ(bytes[0], 0xEE) << "nothing copied";
    }
    EXPECT_EQ(mine[sizeof mine - 1], 0xEE);
    if (c.size == 0) KernelFree(buffer);
  }
}

}  // namespace
