#pragma once

#include <cstddef>
#include <cstdint>

// A unit's circular text log. Callers serialise Append and Drain; positions are always kept inside
// the ring, so even an unserialised caller cannot write outside it.
class DebugLog {
 public:
  static constexpr uint32_t kCapacity = 4096;

  // Appends the text up to its NUL or maxLength characters. When the writer catches up with the
  // reader, the oldest unread character goes, so a drain returns the newest text whole and in order.
  void Append(const char* text, std::size_t maxLength = SIZE_MAX);
  // Moves unread text into out, at most length bytes; returns the count.
  uint32_t Drain(uint8_t* out, uint32_t length);

  // "0x" and 8 upper-case hex digits; out holds 11 bytes with the NUL.
  static void FormatHex(uint32_t value, char* out);
  // A sign (' ' or '-') and 7 digits, or the sign and "*******\n" when the magnitude has more than
  // 7 digits; out holds 11 bytes with the NUL.
  static void FormatDecimal(int32_t value, char* out);

 private:
  char mText[kCapacity] = {};
  uint32_t mWrite = 0;
  uint32_t mRead = 0;
};
