#include "sim/units/SurfaceLayout.h"

#include <algorithm>

#include "platform/kernel/Verifier.h"

namespace sim {

namespace {

using Run = SurfaceLayout::Run;

// {first code, last code, bit id of the first}: 16-23 at 80 means codes 16..23 on bits 80..87.
constexpr Run kLayout1Buttons[] = {
    {1, 8, 112},    {9, 13, 96},    {14, 15, 102},  {16, 23, 80},   {24, 31, 64},   {32, 39, 48},
    {40, 40, 208},  {41, 41, 210},  {42, 45, 212},  {46, 51, 192},  {53, 60, 176},  {61, 64, 160},
    {88, 88, 164},  {65, 66, 165},  {67, 69, 144},  {70, 70, 198},  {71, 74, 148},  {75, 82, 128},
    {85, 85, 209},  {86, 86, 167},  {87, 87, 101},
};

constexpr Run kLayout2Buttons[] = {
    {1, 2, 229},    {3, 5, 240},    {6, 6, 82},     {7, 8, 225},    {9, 13, 243},   {14, 15, 227},
    {16, 23, 48},   {24, 31, 64},   {32, 39, 32},   {40, 40, 99},   {41, 42, 96},   {43, 43, 100},
    {44, 44, 98},   {45, 45, 101},  {46, 46, 115},  {47, 47, 130},  {48, 48, 114},  {49, 49, 129},
    {50, 50, 113},  {51, 51, 128},  {53, 53, 119},  {54, 54, 134},  {55, 55, 118},  {56, 56, 133},
    {57, 57, 117},  {58, 58, 132},  {59, 59, 116},  {60, 60, 131},  {61, 64, 208},  {65, 65, 181},
    {66, 66, 224},  {67, 69, 177},  {70, 70, 112},  {71, 71, 213},  {72, 72, 215},  {73, 73, 212},
    {74, 74, 214},  {88, 88, 135},  {75, 82, 192},  {83, 83, 231},  {84, 84, 176},  {85, 86, 80},
    {87, 87, 83},
};

// {first lamp id, last lamp id, hardware lamp number of the first}.
constexpr Run kLayout1Lamps[] = {
    {1, 1, 15},     {2, 2, 47},     {3, 3, 142},    {4, 4, 110},    {5, 5, 174},    {6, 6, 46},
    {7, 7, 78},     {9, 9, 145},    {10, 10, 168},  {11, 11, 104},  {12, 12, 72},   {13, 13, 40},
    {14, 14, 45},   {15, 15, 77},   {16, 16, 109},  {17, 17, 141},  {18, 25, 128},  {26, 33, 160},
    {34, 41, 96},   {42, 49, 64},   {50, 57, 32},   {58, 65, 0},    {66, 69, 41},   {70, 73, 9},
    {74, 74, 113},  {75, 75, 81},   {76, 76, 49},   {77, 77, 17},   {78, 81, 105},  {82, 85, 73},
    {87, 88, 176},  {89, 92, 169},  {93, 93, 144},  {94, 94, 112},  {95, 98, 136},  {100, 100, 80},
    {101, 101, 48}, {103, 103, 13}, {113, 113, 8},  {114, 114, 14},
};

constexpr Run kLayout2Lamps[] = {
    {1, 1, 73},     {2, 2, 41},     {3, 3, 17},     {4, 4, 242},    {5, 5, 146},    {6, 6, 13},
    {7, 7, 45},     {8, 8, 77},     {9, 9, 201},    {10, 10, 12},   {11, 11, 44},   {12, 12, 76},
    {13, 13, 108},  {14, 14, 140},  {15, 15, 172},  {16, 16, 204},  {17, 17, 236},  {18, 18, 4},
    {19, 19, 36},   {20, 20, 68},   {21, 21, 100},  {22, 22, 132},  {23, 23, 164},  {24, 24, 196},
    {25, 25, 228},  {26, 26, 3},    {27, 27, 35},   {28, 28, 67},   {29, 29, 99},   {30, 30, 131},
    {31, 31, 163},  {32, 32, 195},  {33, 33, 227},  {34, 34, 1},    {35, 35, 33},   {36, 36, 65},
    {37, 37, 97},   {38, 38, 129},  {39, 39, 161},  {40, 40, 193},  {41, 41, 225},  {42, 42, 2},
    {43, 43, 34},   {44, 44, 66},   {45, 45, 98},   {46, 46, 130},  {47, 47, 162},  {48, 48, 194},
    {49, 49, 226},  {50, 50, 5},    {51, 51, 37},   {52, 52, 69},   {53, 53, 101},  {54, 54, 133},
    {55, 55, 165},  {56, 56, 197},  {57, 57, 229},  {58, 58, 0},    {59, 59, 32},   {60, 60, 64},
    {61, 61, 96},   {62, 62, 128},  {63, 63, 160},  {64, 64, 192},  {65, 65, 224},  {66, 66, 11},
    {67, 67, 43},   {68, 68, 75},   {69, 69, 107},  {70, 70, 139},  {71, 71, 171},  {72, 72, 203},
    {73, 73, 235},  {74, 74, 168},  {75, 75, 102},  {76, 76, 169},  {77, 77, 104},  {78, 78, 18},
    {79, 79, 50},   {80, 80, 82},   {81, 81, 114},  {82, 82, 14},   {83, 83, 46},   {84, 84, 78},
    {85, 85, 110},  {87, 87, 103},  {88, 88, 167},  {89, 89, 142},  {90, 90, 174},  {91, 91, 206},
    {92, 92, 238},  {93, 93, 135},  {94, 94, 7},    {95, 95, 138},  {96, 96, 42},   {97, 97, 74},
    {98, 98, 106},  {99, 99, 40},   {100, 100, 136}, {101, 101, 8}, {103, 103, 105}, {104, 104, 232},
    {105, 105, 137}, {106, 106, 71}, {107, 107, 70}, {108, 108, 9},  {109, 109, 39},  {110, 110, 38},
    {111, 111, 72}, {112, 112, 10}, {113, 113, 200}, {114, 114, 6},
};

template <size_t M>
void Expand(std::span<const Run> runs, std::array<uint16_t, M>& out, const char* what) {
  out.fill(0xFFFF);
  for (const Run& r : runs) {
    for (uint16_t k = r.first; k <= r.last; ++k) {
      if (k >= M || out[k] != 0xFFFF) plat::Violation(std::string("surface layout: bad or repeated entry in ") + what);
      out[k] = static_cast<uint16_t>(r.value + (k - r.first));
    }
  }
}

}  // namespace

SurfaceLayout::SurfaceLayout(int number, std::span<const Run> buttons, std::span<const Run> lamps)
    : number_(number) {
  Expand(buttons, buttons_, "buttons");
  Expand(lamps, lamps_, "lamps");
}

const SurfaceLayout& SurfaceLayout::Get(int layout) {
  static const SurfaceLayout one(1, kLayout1Buttons, kLayout1Lamps);
  static const SurfaceLayout two(2, kLayout2Buttons, kLayout2Lamps);
  return layout == 2 ? two : one;
}

std::optional<uint8_t> SurfaceLayout::ButtonBit(uint16_t code) const {
  if (code > kMaxButtonCode || buttons_[code] == kNone) return std::nullopt;
  return static_cast<uint8_t>(buttons_[code]);
}

std::optional<uint8_t> SurfaceLayout::LampNumber(uint16_t lampId) const {
  if (lampId > kMaxLampId || lamps_[lampId] == kNone) return std::nullopt;
  return static_cast<uint8_t>(lamps_[lampId]);
}

int SurfaceLayout::ButtonCount() const {
  return static_cast<int>(std::count_if(buttons_.begin(), buttons_.end(), [](uint16_t v) { return v != kNone; }));
}

int SurfaceLayout::LampCount() const {
  return static_cast<int>(std::count_if(lamps_.begin(), lamps_.end(), [](uint16_t v) { return v != kNone; }));
}

}  // namespace sim
