#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/kernel/KernelHandles.h"
#include "platform/kernel/RegistryHive.h"
#include "platform/kernel/Verifier.h"
#include "platform/kernel/include/wdm.h"
#include "platform/kernel/WideText.h"

namespace {

using plat::RegistryHive;
using plat::RegistryValue;

constexpr char16_t kServices[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
constexpr char16_t kService[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\qx5310";
constexpr char16_t kParameters[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\qx5310\\Parameters";

class Registry : public testing::Test {
 protected:
  void SetUp() override { RegistryHive::Clear(); }
  void TearDown() override {
    EXPECT_EQ(plat::KernelHandles::OpenCount(), 0u) << plat::KernelHandles::OpenReport();
  }

  static NTSTATUS Open(std::u16string_view path, HANDLE* h, bool create = false, HANDLE root = nullptr,
                       ULONG* disposition = nullptr, ULONG options = 0) {
    plat::WideString text(path);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, text.c_str());
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    *h = nullptr;
    return create ? ZwCreateKey(h, KEY_ALL_ACCESS, &oa, 0, nullptr, options, disposition)
                  : ZwOpenKey(h, KEY_READ, &oa);
  }
  static HANDLE Parameters() {
    HANDLE service, h;
    EXPECT_EQ(Open(kService, &service, true), STATUS_SUCCESS);
    EXPECT_EQ(Open(u"Parameters", &h, true, service), STATUS_SUCCESS);
    ZwClose(service);
    return h;
  }
  static NTSTATUS Set(HANDLE h, std::u16string_view name, ULONG type, const void* data, ULONG size) {
    plat::WideString text(name);
    UNICODE_STRING n;
    RtlInitUnicodeString(&n, text.c_str());
    return ZwSetValueKey(h, &n, 0, type, const_cast<void*>(data), size);
  }
  static NTSTATUS Query(HANDLE h, std::u16string_view name, void* buffer, ULONG length, ULONG* result) {
    plat::WideString text(name);
    UNICODE_STRING n;
    RtlInitUnicodeString(&n, text.c_str());
    return ZwQueryValueKey(h, &n, KeyValuePartialInformation, buffer, length, result);
  }
};

TEST_F(Registry, CreateReportsDispositionAndNeedsAnExistingParent) {
  HANDLE h;
  ULONG disposition = 0;
  EXPECT_EQ(Open(kParameters, &h, true, nullptr, &disposition), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(Open(kService, &h, true, nullptr, &disposition), STATUS_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  ZwClose(h);
  EXPECT_EQ(Open(kService, &h, true, nullptr, &disposition), STATUS_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  ZwClose(h);
  EXPECT_EQ(Open(kParameters, &h, true, nullptr, &disposition), STATUS_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  ZwClose(h);
  EXPECT_EQ(Open(u"\\Registry\\Machine\\Software\\Halvern", &h), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(h, nullptr);
}

TEST_F(Registry, NamesAreCheckedAsWindowsDoes) {
  HANDLE services;
  ASSERT_EQ(Open(kServices, &services), STATUS_SUCCESS);
  struct Case {
    const char16_t* path;
    HANDLE root;
    NTSTATUS status;
  };
  const Case cases[] = {
      {u"Registry\\Machine", nullptr, STATUS_OBJECT_PATH_SYNTAX_BAD},   // relative without a root
      {u"\\qx5310", services, STATUS_OBJECT_PATH_SYNTAX_BAD},           // absolute with a root
      {u"\\", nullptr, STATUS_OBJECT_TYPE_MISMATCH},
      {u"\\Elsewhere", nullptr, STATUS_OBJECT_NAME_NOT_FOUND},        // outside \Registry
      {u"\\Registry\\\\Machine\\", nullptr, STATUS_SUCCESS},            // repeated separators count once
      {u"", services, STATUS_SUCCESS},                                  // the root key itself
      {u"\\Registry\\User", reinterpret_cast<HANDLE>(0x1234), STATUS_INVALID_HANDLE},
  };
  for (const Case& c : cases) {
    HANDLE h;
    EXPECT_EQ(Open(c.path, &h, false, c.root), c.status) << std::string(c.path, c.path + 3);
    if (NT_SUCCESS(c.status)) ZwClose(h);
  }
  std::u16string tooLong = u"\\Registry\\" + std::u16string(256, u'k');
  HANDLE h;
  EXPECT_EQ(Open(tooLong.c_str(), &h), STATUS_OBJECT_NAME_INVALID);
  ZwClose(services);
}

TEST_F(Registry, KeysAndValuesAreCaseInsensitive) {
  HANDLE h = Parameters();
  ULONG one = 1;
  ASSERT_EQ(Set(h, u"BreakOnEntry", REG_DWORD, &one, 4), STATUS_SUCCESS);
  ZwClose(h);
  ASSERT_EQ(Open(u"\\REGISTRY\\MACHINE\\SYSTEM\\currentcontrolset\\SERVICES\\QX5310\\parameters", &h),
            STATUS_SUCCESS);
  UCHAR buffer[16];
  ULONG result = 0;
  EXPECT_EQ(Query(h, u"BREAKONENTRY", buffer, sizeof buffer, &result), STATUS_SUCCESS);
  auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
  EXPECT_EQ(info->Type, REG_DWORD);
  EXPECT_EQ(info->DataLength, 4u);
  // One value, whatever the case it is set with; it keeps the case it was created with.
  ULONG two = 2;
  ASSERT_EQ(Set(h, u"breakonentry", REG_DWORD, &two, 4), STATUS_SUCCESS);
  std::vector<RegistryValue> values;
  ASSERT_EQ(RegistryHive::Values(kParameters, &values), STATUS_SUCCESS);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].name, u"BreakOnEntry");
  ZwClose(h);
  // The roots exist, in whatever case they are named.
  for (const char16_t* root : {u"\\REGISTRY\\Machine\\HARDWARE\\DEVICEMAP", u"\\registry\\user",
                               u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion"})
    EXPECT_TRUE(RegistryHive::KeyExists(root));
}

// A value of 8 bytes: the record is the 12-byte header and the data, 20 bytes.
TEST_F(Registry, PartialInformationFillsTheHeaderOnOverflowAndNeverWritesPastTheBuffer) {
  HANDLE h = Parameters();
  const UCHAR data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  ASSERT_EQ(Set(h, u"Preferences", REG_BINARY, data, sizeof data), STATUS_SUCCESS);
  struct Case {
    ULONG length;
    NTSTATUS status;
  };
  const Case cases[] = {{0, STATUS_BUFFER_TOO_SMALL},  {11, STATUS_BUFFER_TOO_SMALL}, {12, STATUS_BUFFER_OVERFLOW},
                        {19, STATUS_BUFFER_OVERFLOW}, {20, STATUS_SUCCESS},           {32, STATUS_SUCCESS}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    UCHAR buffer[64];
    std::memset(buffer, 0xEE, sizeof buffer);  // bytes past `length` are the guard
    ULONG result = 0;
    EXPECT_EQ(Query(h, u"Preferences", c.length ? buffer : nullptr, c.length, &result), c.status);
    EXPECT_EQ(result, 20u);
    for (size_t i = c.length; i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], 0xEE) << "written at " << i;
    if (c.status == STATUS_BUFFER_TOO_SMALL) continue;
    KEY_VALUE_PARTIAL_INFORMATION header;
    std::memcpy(&header, buffer, 12);
    EXPECT_EQ(header.TitleIndex, 0u);
    EXPECT_EQ(header.Type, REG_BINARY);
    EXPECT_EQ(header.DataLength, 8u);  // the full length, also on overflow
    if (c.status == STATUS_SUCCESS) {
      EXPECT_EQ(std::memcmp(buffer + 12, data, 8), 0);
    }
  }
  UCHAR buffer[32];
  ULONG result = 0;
  EXPECT_EQ(Query(h, u"Missing", buffer, sizeof buffer, &result), STATUS_OBJECT_NAME_NOT_FOUND);
  ZwClose(h);
}

TEST_F(Registry, EveryValueTypeComesBackAsSet) {
  HANDLE h = Parameters();
  const ULONG rate = 48000;
  const char16_t name[] = u"KR-6 (1)";
  const char16_t multi[] = u"a\0bc\0";  // with the array's own terminator: the final empty string
  const char16_t expand[] = u"%SystemRoot%\\qx.sys";
  const UCHAR bytes[3] = {0xde, 0xad, 0x00};
  struct Case {
    const char16_t* name;
    ULONG type;
    const void* data;
    ULONG size;
  };
  const Case cases[] = {{u"SampleRate", REG_DWORD, &rate, 4},
                        {u"FriendlyName", REG_SZ, name, sizeof name},
                        {u"List", REG_MULTI_SZ, multi, sizeof multi},
                        {u"ImagePath", REG_EXPAND_SZ, expand, sizeof expand},
                        {u"Blob", REG_BINARY, bytes, sizeof bytes},
                        {u"", REG_SZ, name, sizeof name}};  // the default value
  for (const Case& c : cases) ASSERT_EQ(Set(h, c.name, c.type, c.data, c.size), STATUS_SUCCESS);
  for (const Case& c : cases) {
    UCHAR buffer[128];
    ULONG result = 0;
    ASSERT_EQ(Query(h, c.name, buffer, sizeof buffer, &result), STATUS_SUCCESS);
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    EXPECT_EQ(info->Type, c.type);
    ASSERT_EQ(info->DataLength, c.size);
    EXPECT_EQ(std::memcmp(info->Data, c.data, c.size), 0);
    EXPECT_EQ(result, 12 + c.size);
  }
  UNICODE_STRING blob = RTL_CONSTANT_STRING(L"Blob");
  EXPECT_EQ(ZwDeleteValueKey(h, &blob), STATUS_SUCCESS);
  EXPECT_EQ(ZwDeleteValueKey(h, &blob), STATUS_OBJECT_NAME_NOT_FOUND);
  ZwClose(h);
}

TEST_F(Registry, EnumeratesSubkeysInNameOrderAndValuesInSetOrder) {
  HANDLE service = Parameters();
  ZwClose(service);
  ASSERT_EQ(Open(kService, &service), STATUS_SUCCESS);
  for (const char16_t* sub : {u"zeta", u"Alpha", u"Enum"}) {
    HANDLE h;
    ASSERT_EQ(Open(sub, &h, true, service), STATUS_SUCCESS);
    ZwClose(h);
  }
  std::vector<std::u16string> names;
  for (ULONG i = 0;; ++i) {
    UCHAR buffer[64];
    ULONG result = 0;
    NTSTATUS status = ZwEnumerateKey(service, i, KeyBasicInformation, buffer, sizeof buffer, &result);
    if (status == STATUS_NO_MORE_ENTRIES) break;
    ASSERT_EQ(status, STATUS_SUCCESS);
    auto* info = reinterpret_cast<PKEY_BASIC_INFORMATION>(buffer);
    names.push_back(plat::U16(info->Name, info->NameLength / 2));
  }
  EXPECT_EQ(names, (std::vector<std::u16string>{u"Alpha", u"Enum", u"Parameters", u"zeta"}));

  for (const char16_t* value : {u"Type", u"Start", u"ErrorControl"}) {
    ULONG v = 1;
    Set(service, value, REG_DWORD, &v, 4);
  }
  UCHAR buffer[64];
  ULONG result = 0;
  ASSERT_EQ(ZwEnumerateValueKey(service, 2, KeyValueFullInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
  auto* full = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);
  EXPECT_EQ(plat::U16(full->Name, full->NameLength / 2), u"ErrorControl");
  EXPECT_EQ(full->DataLength, 4u);
  EXPECT_EQ(full->DataOffset % 4, 0u);
  EXPECT_EQ(ZwEnumerateValueKey(service, 3, KeyValueBasicInformation, buffer, sizeof buffer, &result),
            STATUS_NO_MORE_ENTRIES);
  ASSERT_EQ(ZwQueryKey(service, KeyFullInformation, buffer, sizeof buffer, &result), STATUS_SUCCESS);
  auto* counts = reinterpret_cast<PKEY_FULL_INFORMATION>(buffer);
  EXPECT_EQ(counts->SubKeys, 4u);
  EXPECT_EQ(counts->Values, 3u);
  EXPECT_EQ(counts->MaxNameLen, 20u);  // "Parameters"
  ZwClose(service);
}

TEST_F(Registry, DeleteTakesLeafKeysOnlyAndLeavesTheHandleToClose) {
  HANDLE params = Parameters(), service;
  ASSERT_EQ(Open(kService, &service), STATUS_SUCCESS);
  EXPECT_EQ(ZwDeleteKey(service), STATUS_CANNOT_DELETE);  // has a subkey
  HANDLE services;
  ASSERT_EQ(Open(kServices, &services), STATUS_SUCCESS);
  EXPECT_EQ(ZwDeleteKey(services), STATUS_CANNOT_DELETE);  // permanent
  EXPECT_EQ(ZwDeleteKey(params), STATUS_SUCCESS);
  ULONG v = 1;
  EXPECT_EQ(Set(params, u"After", REG_DWORD, &v, 4), STATUS_KEY_DELETED);
  EXPECT_FALSE(RegistryHive::KeyExists(kParameters));
  EXPECT_EQ(ZwDeleteKey(service), STATUS_SUCCESS);
  for (HANDLE h : {params, service, services}) EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
}

TEST_F(Registry, VolatileKeysNeedVolatileChildrenAndAreNotSaved) {
  HANDLE service, h;
  ASSERT_EQ(Open(kService, &service, true, nullptr, nullptr, REG_OPTION_VOLATILE), STATUS_SUCCESS);
  EXPECT_EQ(Open(u"Parameters", &h, true, service), STATUS_CHILD_MUST_BE_VOLATILE);
  ZwClose(service);
  ASSERT_EQ(RegistryHive::CreateKey(u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\Serial"), STATUS_SUCCESS);
  EXPECT_EQ(RegistryHive::ToText().find("qx5310"), std::string::npos);
  EXPECT_EQ(RegistryHive::ToText().find("DEVICEMAP"), std::string::npos);
}

TEST_F(Registry, AbuseIsCaughtByTheVerifier) {
  HANDLE h = Parameters();
  ZwClose(h);
  EXPECT_NE(plat::ExpectViolation([&] { ZwClose(h); }).find("not open"), std::string::npos);
  HANDLE services;
  ASSERT_EQ(Open(kServices, &services), STATUS_SUCCESS);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  UCHAR buffer[16];
  ULONG result;
  std::string what = plat::ExpectViolation([&] { Query(services, u"x", buffer, sizeof buffer, &result); });
  KeLowerIrql(old);
  EXPECT_NE(what.find("IRQL"), std::string::npos);
  ZwClose(services);
}

TEST_F(Registry, TextFormIsReadableAndDeterministic) {
  ASSERT_EQ(RegistryHive::CreateKey(kParameters), STATUS_SUCCESS);
  RegistryHive::SetDword(kParameters, u"SampleRate", 48000);
  RegistryHive::SetString(kParameters, u"", u"say \"hi\"\\\u00e9");
  const std::vector<UCHAR> multi = {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0};
  RegistryHive::SetValue(kParameters, u"List", REG_MULTI_SZ, multi.data(), multi.size());
  RegistryHive::SetValue(kParameters, u"Empty", REG_BINARY, nullptr, 0);
  EXPECT_EQ(RegistryHive::ToText(),
            "; QX-5310 simulated registry, format 1\n"
            "\n"
            "[\\Registry\\Machine\\System\\CurrentControlSet\\Services\\qx5310\\Parameters]\n"
            "\"SampleRate\"=dword:0000bb80\n"
            "@=sz:\"say \\\"hi\\\"\\\\\\u00e9\"\n"
            "\"List\"=multi_sz:\"a\",\"b\"\n"
            "\"Empty\"=hex:\n");
}

TEST_F(Registry, SaveAndLoadRoundTripEveryKindOfValue) {
  ASSERT_EQ(RegistryHive::CreateKey(kParameters), STATUS_SUCCESS);
  ASSERT_EQ(RegistryHive::CreateKey(u"\\Registry\\Machine\\Software\\Halvern\\100%\\Empty Key"), STATUS_SUCCESS);
  std::vector<UCHAR> preferences(1168);
  for (size_t i = 0; i < preferences.size(); ++i) preferences[i] = static_cast<UCHAR>(i * 7);
  const char16_t unterminated[] = {u'a', u'b'};
  const ULONGLONG big = 0x0123456789ABCDEFull;
  RegistryHive::SetValue(kParameters, u"Preferences", REG_BINARY, preferences.data(), preferences.size());
  RegistryHive::SetDword(kParameters, u"SampleRate", 44100);
  RegistryHive::SetString(kParameters, u"Name \u00c9\"=", u"KR-6 \u20ac\\");
  RegistryHive::SetString(kParameters, u"Path", u"%SystemRoot%\\x", REG_EXPAND_SZ);
  RegistryHive::SetValue(kParameters, u"Odd", REG_SZ, unterminated, sizeof unterminated);
  RegistryHive::SetValue(kParameters, u"Big", REG_QWORD, &big, sizeof big);
  RegistryHive::SetValue(kParameters, u"Short", REG_DWORD, "\x01\x02", 2);
  RegistryHive::SetValue(kParameters, u"None", REG_NONE, nullptr, 0);
  RegistryHive::SetString(kService, u"", u"default");
  std::string saved = RegistryHive::ToText();

  std::string file = testing::TempDir() + "registry-roundtrip-" + std::to_string(getpid()) + ".txt";
  std::string error;
  ASSERT_TRUE(RegistryHive::Save(file, &error)) << error;
  RegistryHive::Clear();
  EXPECT_FALSE(RegistryHive::KeyExists(kParameters));
  ASSERT_TRUE(RegistryHive::Load(file, &error)) << error;
  std::remove(file.c_str());
  EXPECT_EQ(RegistryHive::ToText(), saved);
  EXPECT_TRUE(RegistryHive::KeyExists(u"\\registry\\machine\\software\\halvern\\100%\\empty key"));
  RegistryValue v;
  ASSERT_EQ(RegistryHive::QueryValue(kParameters, u"preferences", &v), STATUS_SUCCESS);
  EXPECT_EQ(v.type, REG_BINARY);
  EXPECT_EQ(v.data, preferences);
  ASSERT_EQ(RegistryHive::QueryValue(kParameters, u"Odd", &v), STATUS_SUCCESS);
  EXPECT_EQ(v.type, REG_SZ);
  EXPECT_EQ(v.data.size(), sizeof unterminated);
}

TEST_F(Registry, ABadFileIsRefusedWithItsLineAndLeavesTheHiveAlone) {
  ASSERT_EQ(RegistryHive::CreateKey(kService), STATUS_SUCCESS);
  std::string error;
  const char* bad[][2] = {
      {"[\\Registry\\User\\x]\n\"a\"=dword:12\n", "line 2: expected 8 hex digits"},
      {"\"a\"=dword:00000001\n", "line 1: a value before any [key]"},
      {"[\\Registry\\User\\x]\n\"a\"=hex:01,\\\n  0g\n", "line 3: expected 2 hex digits"},
      {"[\\Registry\\User\\x]\n\"a\"=float:1\n", "line 2: unknown value type 'float'"},
      {"[\\Elsewhere\\x]\n", "line 1: cannot create the key (0xC000003A)"},  // outside \Registry
  };
  for (auto& [text, message] : bad) {
    EXPECT_FALSE(RegistryHive::FromText(text, &error));
    EXPECT_EQ(error, message);
    EXPECT_TRUE(RegistryHive::KeyExists(kService));
  }
  EXPECT_FALSE(RegistryHive::Load(testing::TempDir() + "no-such-registry.txt", &error));
}

}  // namespace
