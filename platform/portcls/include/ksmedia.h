// Audio and MIDI media for kernel streaming: the format and range records, their GUIDs, the node
// types and the audio property set.
#pragma once

#include "ks.h"

DEFINE_KS_GUID(KSDATAFORMAT_TYPE_AUDIO, 0x73647561, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71);
DEFINE_KS_GUID(KSDATAFORMAT_SUBTYPE_PCM, 0x00000001, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71);
DEFINE_KS_GUID(KSDATAFORMAT_SUBTYPE_ANALOG, 0x6DBA3190, 0x67BD, 0x11CF, 0xA0, 0xF7, 0x00, 0x20, 0xAF, 0xD1, 0x56, 0xE4);
DEFINE_KS_GUID(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, 0x05589F81, 0xC356, 0x11CE, 0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A);
DEFINE_KS_GUID(KSDATAFORMAT_TYPE_MUSIC, 0xE725D360, 0x62CC, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);
DEFINE_KS_GUID(KSDATAFORMAT_SUBTYPE_MIDI, 0x1D262760, 0xE957, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);
DEFINE_KS_GUID(KSDATAFORMAT_SUBTYPE_MIDI_BUS, 0x2CA15FA0, 0x6CFE, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);
DEFINE_KS_GUID(KSMUSIC_TECHNOLOGY_PORT, 0x86C92E60, 0x62E8, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);

DEFINE_KS_GUID(KSNODETYPE_ADC, 0x4D837FE0, 0xC555, 0x11D0, 0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1);
DEFINE_KS_GUID(KSNODETYPE_DAC, 0x507AE360, 0xC554, 0x11D0, 0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1);
DEFINE_KS_GUID(KSNODETYPE_VOLUME, 0x3A5ACC00, 0xC557, 0x11D0, 0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1);
DEFINE_KS_GUID(KSNODETYPE_MUTE, 0x02B223C0, 0xC557, 0x11D0, 0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1);

DEFINE_KS_GUID(KSPROPSETID_Audio, 0x45FFAAA0, 0x6E1B, 0x11D0, 0xBC, 0xF2, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00);
constexpr ULONG KSPROPERTY_AUDIO_VOLUMELEVEL = 4;
constexpr ULONG KSPROPERTY_AUDIO_MUTE = 13;
constexpr ULONG KSPROPERTY_AUDIO_CPU_RESOURCES = 33;
constexpr LONG KSAUDIO_CPU_RESOURCES_NOT_HOST_CPU = 0;
constexpr LONG KSAUDIO_CPU_RESOURCES_HOST_CPU = 0x7FFFFFFF;

struct KSDATARANGE_AUDIO {
  KSDATARANGE DataRange;
  ULONG MaximumChannels;
  ULONG MinimumBitsPerSample;
  ULONG MaximumBitsPerSample;
  ULONG MinimumSampleFrequency;
  ULONG MaximumSampleFrequency;
};
using PKSDATARANGE_AUDIO = KSDATARANGE_AUDIO*;
static_assert(sizeof(KSDATARANGE_AUDIO) == 88 && offsetof(KSDATARANGE_AUDIO, MaximumChannels) == 64 &&
              offsetof(KSDATARANGE_AUDIO, MaximumSampleFrequency) == 80);

struct KSDATARANGE_MUSIC {
  KSDATARANGE DataRange;
  GUID Technology;
  ULONG Channels;
  ULONG Notes;
  ULONG ChannelMask;
};
using PKSDATARANGE_MUSIC = KSDATARANGE_MUSIC*;
static_assert(sizeof(KSDATARANGE_MUSIC) == 96 && offsetof(KSDATARANGE_MUSIC, Technology) == 64 &&
              offsetof(KSDATARANGE_MUSIC, ChannelMask) == 88);

constexpr USHORT WAVE_FORMAT_PCM = 0x0001;
constexpr USHORT WAVE_FORMAT_EXTENSIBLE = 0xFFFE;
constexpr ULONG SPEAKER_FRONT_LEFT = 0x1;
constexpr ULONG SPEAKER_FRONT_RIGHT = 0x2;
constexpr ULONG SPEAKER_FRONT_CENTER = 0x4;
constexpr ULONG KSAUDIO_SPEAKER_MONO = SPEAKER_FRONT_CENTER;
constexpr ULONG KSAUDIO_SPEAKER_STEREO = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;

#pragma pack(push, 1)
struct WAVEFORMATEX {
  USHORT wFormatTag;
  USHORT nChannels;
  ULONG nSamplesPerSec;
  ULONG nAvgBytesPerSec;
  USHORT nBlockAlign;
  USHORT wBitsPerSample;
  USHORT cbSize;
};
struct WAVEFORMATEXTENSIBLE {
  WAVEFORMATEX Format;
  union {
    USHORT wValidBitsPerSample;
    USHORT wSamplesPerBlock;
    USHORT wReserved;
  } Samples;
  ULONG dwChannelMask;
  GUID SubFormat;
};
#pragma pack(pop)
using PWAVEFORMATEX = WAVEFORMATEX*;
using PWAVEFORMATEXTENSIBLE = WAVEFORMATEXTENSIBLE*;
static_assert(sizeof(WAVEFORMATEX) == 18 && offsetof(WAVEFORMATEX, nSamplesPerSec) == 4 &&
              offsetof(WAVEFORMATEX, nBlockAlign) == 12 && offsetof(WAVEFORMATEX, cbSize) == 16);
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40 && offsetof(WAVEFORMATEXTENSIBLE, Samples) == 18 &&
              offsetof(WAVEFORMATEXTENSIBLE, dwChannelMask) == 20 && offsetof(WAVEFORMATEXTENSIBLE, SubFormat) == 24);

// A wave format as a stream is opened with: the header, then the wave format at offset 64. The
// format size counts the bytes that matter (82, or 104 for the extensible form), not the padding.
struct KSDATAFORMAT_WAVEFORMATEX {
  KSDATAFORMAT DataFormat;
  WAVEFORMATEX WaveFormatEx;
};
struct KSDATAFORMAT_WAVEFORMATEXTENSIBLE {
  KSDATAFORMAT DataFormat;
  WAVEFORMATEXTENSIBLE WaveFormatExt;
};
using PKSDATAFORMAT_WAVEFORMATEX = KSDATAFORMAT_WAVEFORMATEX*;
static_assert(offsetof(KSDATAFORMAT_WAVEFORMATEX, WaveFormatEx) == 64 && sizeof(KSDATAFORMAT_WAVEFORMATEX) == 88);
static_assert(offsetof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE, WaveFormatExt) == 64 &&
              sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE) == 104);
