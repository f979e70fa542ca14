// The registry's test- and tool-facing side: full-path access (as the Win32 stand-in needs for
// HKEY_LOCAL_MACHINE\... = "\Registry\Machine\..."), and a readable text form that is saved to
// and loaded from a file so settings survive between runs.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "Registry.h"

namespace plat {

struct RegistryValue {
  std::u16string name;
  ULONG type = REG_NONE;
  std::vector<UCHAR> data;
};

// Full paths are absolute ("\Registry\Machine\..."), case-insensitive.
class RegistryHive {
 public:
  // Back to the permanent keys alone. Handles open on older keys give STATUS_KEY_DELETED.
  static void Clear();

  // The text form: a comment line, then one "[path]" line per key that has values or no
  // subkeys, each followed by its values:
  //   @=sz:"default value"                      the default value
  //   "BreakOnEntry"=dword:00000000
  //   "Preferences"=hex:00,01,...,1f,\         REG_BINARY, 32 bytes a line
  //     20,21
  //   "Path"=expand_sz:"%SystemRoot%\\x"   "List"=multi_sz:"a","b"   "Big"=qword:...
  //   "Odd"=hex(1):41,00                        any other type, or a string without its
  //                                             terminator, as hex with the type number
  // Strings escape \\, \" and every character outside printable ASCII as \uXXXX; key names
  // escape % and such characters as %XXXX. Volatile keys are left out. The text is the same for
  // the same hive, whatever order it was built in.
  static std::string ToText();
  // Replaces the hive with the text's keys (over the permanent ones). On an error the hive is
  // left as it was and `error` says where ("line 12: ...").
  static bool FromText(std::string_view text, std::string* error = nullptr);
  static bool Save(const std::string& file, std::string* error = nullptr);  // written whole, then renamed
  static bool Load(const std::string& file, std::string* error = nullptr);  // false when missing too

  // Creates the key and any missing key above it.
  static NTSTATUS CreateKey(std::u16string_view path);
  static bool KeyExists(std::u16string_view path);
  // Deletes the key and everything below it (permanent keys: STATUS_CANNOT_DELETE).
  static NTSTATUS DeleteTree(std::u16string_view path);
  static NTSTATUS SetValue(std::u16string_view path, std::u16string_view name, ULONG type, const void* data,
                           size_t size);
  static NTSTATUS SetDword(std::u16string_view path, std::u16string_view name, ULONG value);
  static NTSTATUS SetString(std::u16string_view path, std::u16string_view name, std::u16string_view value,
                            ULONG type = REG_SZ);  // stored with its terminator
  static NTSTATUS QueryValue(std::u16string_view path, std::u16string_view name, RegistryValue* value);
  static NTSTATUS DeleteValue(std::u16string_view path, std::u16string_view name);
  static NTSTATUS SubKeys(std::u16string_view path, std::vector<std::u16string>* names);
  static NTSTATUS Values(std::u16string_view path, std::vector<RegistryValue>* values);
};

}  // namespace plat
