// Bus cycle-time words: seconds in bits 25-31 (wrapping after 127), the cycle count 0-7999 in bits
// 12-24 and the cycle offset in bits 0-11.
#pragma once

#include <wdm.h>

inline constexpr ULONG kCyclesPerSecond = 8000;
inline constexpr ULONG kCycleSecondsInWord = 128;
inline constexpr ULONG kCycleOffsetBits = 0xFFF;

constexpr ULONG CycleCountOf(ULONG word) { return (word >> 12) & 0x1FFF; }
constexpr ULONG CycleSecondsOf(ULONG word) { return word >> 25; }

// The word `n` cycles later, with the same offset.
constexpr ULONG AddCycles(ULONG word, ULONG n) {
  ULONG cycles = CycleCountOf(word) + n;
  ULONG seconds = CycleSecondsOf(word);
  while (cycles >= kCyclesPerSecond) {
    cycles -= kCyclesPerSecond;
    seconds = (seconds + 1) % kCycleSecondsInWord;
  }
  return seconds << 25 | cycles << 12 | (word & kCycleOffsetBits);
}

// How many cycles `later` lies after `earlier`, across the seconds field's wrap: negative when it
// lies before.
constexpr LONG CyclesAfter(ULONG later, ULONG earlier) {
  constexpr LONG kWrap = kCycleSecondsInWord * kCyclesPerSecond;
  LONG d = static_cast<LONG>(CycleSecondsOf(later) * kCyclesPerSecond + CycleCountOf(later)) -
           static_cast<LONG>(CycleSecondsOf(earlier) * kCyclesPerSecond + CycleCountOf(earlier));
  if (d >= kWrap / 2) d -= kWrap;
  if (d < -kWrap / 2) d += kWrap;
  return d;
}
