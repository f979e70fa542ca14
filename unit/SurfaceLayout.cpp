#include "unit/SurfaceLayout.h"

#include <array>
#include <cstddef>

namespace {

// Lamp ids first..last on hardware lamps hardware..hardware + (last - first).
struct LampRun {
  constexpr LampRun(uint16_t id, uint8_t hardware) : first(id), last(id), hardware(hardware) {}
  constexpr LampRun(uint16_t first, uint16_t last, uint8_t hardware)
      : first(first), last(last), hardware(hardware) {}
  uint16_t first;
  uint16_t last;
  uint8_t hardware;
};

template <std::size_t Lamps, std::size_t Runs>
constexpr std::array<SurfaceLampRow, Lamps + 1> ExpandLampRuns(const LampRun (&runs)[Runs]) {
  std::array<SurfaceLampRow, Lamps + 1> rows{};
  std::size_t n = 0;
  for (const LampRun& run : runs) {
    for (uint16_t id = run.first; id <= run.last; ++id) {
      rows[n++] = SurfaceLampRow{id, static_cast<uint8_t>(run.hardware + (id - run.first)), 0};
    }
  }
  return rows;
}

// Button codes first..last on status bits bit..bit + (last - first).
struct ButtonRun {
  constexpr ButtonRun(uint16_t code, uint8_t bit) : first(code), last(code), bit(bit) {}
  constexpr ButtonRun(uint16_t first, uint16_t last, uint8_t bit) : first(first), last(last), bit(bit) {}
  uint16_t first;
  uint16_t last;
  uint8_t bit;
};

template <std::size_t Buttons, std::size_t Runs>
constexpr std::array<SurfaceButtonRow, Buttons + 1> ExpandButtonRuns(const ButtonRun (&runs)[Runs]) {
  std::array<SurfaceButtonRow, Buttons + 1> rows{};
  std::size_t n = 0;
  for (const ButtonRun& run : runs) {
    for (uint16_t code = run.first; code <= run.last; ++code) {
      rows[n++] = SurfaceButtonRow{code, static_cast<uint8_t>(run.bit + (code - run.first)), 0};
    }
  }
  return rows;
}

template <std::size_t N>
constexpr std::size_t ButtonCount(const ButtonRun (&runs)[N]) {
  std::size_t n = 0;
  for (const ButtonRun& run : runs) n += run.last - run.first + 1;
  return n;
}

// Codes 1-88, each at most once; every status bit at most once and a real bit (bit 3 of the id is
// always 0); the end row last.
template <std::size_t N>
constexpr bool IsWellFormedButtonMap(const std::array<SurfaceButtonRow, N>& rows) {
  for (std::size_t i = 0; i + 1 < N; ++i) {
    if (rows[i].mCode == 0 || rows[i].mCode > 88 || (rows[i].mBitId & 0x08) != 0) return false;
    for (std::size_t j = i + 1; j + 1 < N; ++j) {
      if (rows[i].mCode == rows[j].mCode || rows[i].mBitId == rows[j].mBitId) return false;
    }
  }
  return rows[N - 1].mCode == 0;
}

template <std::size_t N>
constexpr std::size_t LampCount(const LampRun (&runs)[N]) {
  std::size_t n = 0;
  for (const LampRun& run : runs) n += run.last - run.first + 1;
  return n;
}

// Every id 1-114 at most once, every hardware lamp at most once, the end row last.
template <std::size_t N>
constexpr bool IsWellFormedLampMap(const std::array<SurfaceLampRow, N>& rows) {
  for (std::size_t i = 0; i + 1 < N; ++i) {
    if (rows[i].mLampId == 0 || rows[i].mLampId > 114) return false;
    for (std::size_t j = i + 1; j + 1 < N; ++j) {
      if (rows[i].mLampId == rows[j].mLampId || rows[i].mHardwareLamp == rows[j].mHardwareLamp) return false;
    }
  }
  return rows[N - 1].mLampId == 0;
}

constexpr ButtonRun kLayout1Buttons[] = {
    {1, 112},        {2, 113},       {3, 114},       {4, 115},  {5, 116},  {6, 117},  {7, 118},
    {8, 119},        {9, 96},        {10, 97},       {11, 98},  {12, 99},  {13, 100}, {14, 102},
    {15, 103},       {16, 23, 80},   {24, 31, 64},   {32, 39, 48},         {40, 208}, {41, 210},
    {42, 212},       {43, 213},      {44, 214},      {45, 215}, {46, 192}, {47, 193}, {48, 194},
    {49, 195},       {50, 196},      {51, 197},      {53, 176}, {54, 177}, {55, 178}, {56, 179},
    {57, 180},       {58, 181},      {59, 182},      {60, 183}, {61, 160}, {62, 161}, {63, 162},
    {64, 163},       {88, 164},      {65, 165},      {66, 166}, {67, 144}, {68, 145}, {69, 146},
    {70, 198},       {71, 148},      {72, 149},      {73, 150}, {74, 151}, {75, 82, 128},
    {85, 209},       {86, 167},      {87, 101},
};

constexpr ButtonRun kLayout2Buttons[] = {
    {1, 229},        {2, 230},       {3, 240},       {4, 241},  {5, 242},  {6, 82},   {7, 225},
    {8, 226},        {9, 243},       {10, 244},      {11, 245}, {12, 246}, {13, 247}, {14, 227},
    {15, 228},       {16, 23, 48},   {24, 31, 64},   {32, 39, 32},         {40, 99},  {41, 96},
    {42, 97},        {43, 100},      {44, 98},       {45, 101}, {46, 115}, {47, 130}, {48, 114},
    {49, 129},       {50, 113},      {51, 128},      {53, 119}, {54, 134}, {55, 118}, {56, 133},
    {57, 117},       {58, 132},      {59, 116},      {60, 131}, {61, 208}, {62, 209}, {63, 210},
    {64, 211},       {65, 181},      {66, 224},      {67, 177}, {68, 178}, {69, 179}, {70, 112},
    {71, 213},       {72, 215},      {73, 212},      {74, 214}, {88, 135}, {75, 82, 192},
    {83, 231},       {84, 176},      {85, 80},       {86, 81},  {87, 83},
};

static_assert(ButtonCount(kLayout1Buttons) == 85);
static_assert(ButtonCount(kLayout2Buttons) == 87);

constexpr auto kLayout1ButtonRows = ExpandButtonRuns<85>(kLayout1Buttons);
constexpr auto kLayout2ButtonRows = ExpandButtonRuns<87>(kLayout2Buttons);

static_assert(IsWellFormedButtonMap(kLayout1ButtonRows));
static_assert(IsWellFormedButtonMap(kLayout2ButtonRows));

constexpr LampRun kLayout1Runs[] = {
    {1, 15},         {2, 47},         {3, 142},        {4, 110},  {5, 174},  {6, 46},   {7, 78},
    {10, 168},       {11, 104},       {12, 72},        {13, 40},  {14, 45},  {15, 77},  {16, 109},
    {17, 141},       {18, 25, 128},   {26, 33, 160},   {34, 41, 96},         {42, 49, 64},
    {50, 57, 32},    {58, 65, 0},     {66, 69, 41},    {70, 73, 9},          {74, 113},
    {75, 81},        {76, 49},        {77, 17},        {78, 81, 105},        {82, 85, 73},
    {87, 88, 176},   {89, 92, 169},   {93, 144},       {94, 112}, {95, 98, 136},
    {100, 80},       {101, 48},       {103, 13},       {9, 145},  {113, 8},  {114, 14},
};

constexpr LampRun kLayout2Runs[] = {
    {1, 73},    {2, 41},    {3, 17},    {4, 242},   {5, 146},   {6, 13},    {7, 45},    {8, 77},
    {9, 201},   {10, 12},   {11, 44},   {12, 76},   {13, 108},  {14, 140},  {15, 172},  {16, 204},
    {17, 236},  {18, 4},    {19, 36},   {20, 68},   {21, 100},  {22, 132},  {23, 164},  {24, 196},
    {25, 228},  {26, 3},    {27, 35},   {28, 67},   {29, 99},   {30, 131},  {31, 163},  {32, 195},
    {33, 227},  {34, 1},    {35, 33},   {36, 65},   {37, 97},   {38, 129},  {39, 161},  {40, 193},
    {41, 225},  {42, 2},    {43, 34},   {44, 66},   {45, 98},   {46, 130},  {47, 162},  {48, 194},
    {49, 226},  {50, 5},    {51, 37},   {52, 69},   {53, 101},  {54, 133},  {55, 165},  {56, 197},
    {57, 229},  {58, 0},    {59, 32},   {60, 64},   {61, 96},   {62, 128},  {63, 160},  {64, 192},
    {65, 224},  {66, 11},   {67, 43},   {68, 75},   {69, 107},  {70, 139},  {71, 171},  {72, 203},
    {73, 235},  {74, 168},  {75, 102},  {76, 169},  {77, 104},  {78, 18},   {79, 50},   {80, 82},
    {81, 114},  {82, 14},   {83, 46},   {84, 78},   {85, 110},  {87, 103},  {88, 167},  {89, 142},
    {90, 174},  {91, 206},  {92, 238},  {93, 135},  {94, 7},    {95, 138},  {96, 42},   {97, 74},
    {98, 106},  {99, 40},   {100, 136}, {101, 8},   {103, 105}, {104, 232}, {105, 137}, {106, 71},
    {107, 70},  {108, 9},   {109, 39},  {110, 38},  {111, 72},  {112, 10},  {113, 200}, {114, 6},
};

static_assert(LampCount(kLayout1Runs) == 101);
static_assert(LampCount(kLayout2Runs) == 112);

constexpr auto kLayout1Lamps = ExpandLampRuns<101>(kLayout1Runs);
constexpr auto kLayout2Lamps = ExpandLampRuns<112>(kLayout2Runs);

static_assert(IsWellFormedLampMap(kLayout1Lamps));
static_assert(IsWellFormedLampMap(kLayout2Lamps));

}  // namespace

const SurfaceLayout kSurfaceLayout1{kLayout1ButtonRows.data(), kLayout1Lamps.data()};
const SurfaceLayout kSurfaceLayout2{kLayout2ButtonRows.data(), kLayout2Lamps.data()};

const SurfaceLayout& SurfaceLayoutForHardware(uint32_t hardwareVersion) {
  return ((hardwareVersion >> 16) & 0xFF) == 0 ? kSurfaceLayout1 : kSurfaceLayout2;
}
