// Kernel streaming as an audio adapter sees it: data formats and ranges, property identifiers
// and descriptions, pin descriptors, stream states and the audio categories. Layouts are the
// 64-bit Windows ones.
#pragma once

#include "../../kernel/include/wdm.h"

// A kernel-streaming GUID is an extern GUID, defined in the unit that includes <ksguid.h>, and
// its value STATIC_<name> as an initialiser list: tables written with STATICGUIDOF(<name>) are
// constant data, with nothing to run before the driver does.
#define STATICGUIDOF(guid) STATIC_##guid
#ifndef DEFINE_GUIDEX
#define DEFINE_GUIDEX(name) EXTERN_C const GUID name
#endif
#define DEFINE_GUIDSTRUCT(guid, name) DEFINE_GUIDEX(name)

// Formats and ranges share one 64-byte header.
union KSDATAFORMAT {
  struct {
    ULONG FormatSize;
    ULONG Flags;
    ULONG SampleSize;
    ULONG Reserved;
    GUID MajorFormat;
    GUID SubFormat;
    GUID Specifier;
  };
  LONGLONG Alignment;
};
using KSDATARANGE = KSDATAFORMAT;
using PKSDATAFORMAT = KSDATAFORMAT*;
using PKSDATARANGE = KSDATARANGE*;
static_assert(sizeof(KSDATAFORMAT) == 64 && offsetof(KSDATAFORMAT, SampleSize) == 8 &&
              offsetof(KSDATAFORMAT, MajorFormat) == 16 && offsetof(KSDATAFORMAT, SubFormat) == 32 &&
              offsetof(KSDATAFORMAT, Specifier) == 48);

union KSIDENTIFIER {
  struct {
    GUID Set;
    ULONG Id;
    ULONG Flags;
  };
  LONGLONG Alignment;
};
using KSPROPERTY = KSIDENTIFIER;
using KSMETHOD = KSIDENTIFIER;
using KSEVENT = KSIDENTIFIER;
using PKSIDENTIFIER = KSIDENTIFIER*;
using PKSPROPERTY = KSPROPERTY*;
static_assert(sizeof(KSIDENTIFIER) == 24 && offsetof(KSIDENTIFIER, Id) == 16 && offsetof(KSIDENTIFIER, Flags) == 20);

// Property verbs.
constexpr ULONG KSPROPERTY_TYPE_GET = 0x00000001;
constexpr ULONG KSPROPERTY_TYPE_SET = 0x00000002;
constexpr ULONG KSPROPERTY_TYPE_BASICSUPPORT = 0x00000200;
constexpr ULONG KSPROPERTY_TYPE_TOPOLOGY = 0x10000000;

struct KSNODEPROPERTY {
  KSPROPERTY Property;
  ULONG NodeId;
  ULONG Reserved;
};
static_assert(sizeof(KSNODEPROPERTY) == 32 && offsetof(KSNODEPROPERTY, NodeId) == 24);

struct KSNODEPROPERTY_AUDIO_CHANNEL {
  KSNODEPROPERTY NodeProperty;
  LONG Channel;
  ULONG Reserved;
};
static_assert(sizeof(KSNODEPROPERTY_AUDIO_CHANNEL) == 40 && offsetof(KSNODEPROPERTY_AUDIO_CHANNEL, Channel) == 32);

// What basic support answers: the access flags, the full size of the description, the value's
// type and how many member lists follow.
struct KSPROPERTY_DESCRIPTION {
  ULONG AccessFlags;
  ULONG DescriptionSize;
  KSIDENTIFIER PropTypeSet;
  ULONG MembersListCount;
  ULONG Reserved;
};
using PKSPROPERTY_DESCRIPTION = KSPROPERTY_DESCRIPTION*;
static_assert(sizeof(KSPROPERTY_DESCRIPTION) == 40 && offsetof(KSPROPERTY_DESCRIPTION, PropTypeSet) == 8 &&
              offsetof(KSPROPERTY_DESCRIPTION, MembersListCount) == 32);

struct KSPROPERTY_MEMBERSHEADER {
  ULONG MembersFlags;
  ULONG MembersSize;
  ULONG MembersCount;
  ULONG Flags;
};
using PKSPROPERTY_MEMBERSHEADER = KSPROPERTY_MEMBERSHEADER*;
static_assert(sizeof(KSPROPERTY_MEMBERSHEADER) == 16);

constexpr ULONG KSPROPERTY_MEMBER_RANGES = 0x00000001;
constexpr ULONG KSPROPERTY_MEMBER_STEPPEDRANGES = 0x00000002;
constexpr ULONG KSPROPERTY_MEMBER_VALUES = 0x00000003;

struct KSPROPERTY_BOUNDS_LONG {
  union {
    struct {
      ULONG UnsignedMinimum;
      ULONG UnsignedMaximum;
    };
    struct {
      LONG SignedMinimum;
      LONG SignedMaximum;
    };
  };
};
static_assert(sizeof(KSPROPERTY_BOUNDS_LONG) == 8);

struct KSPROPERTY_STEPPING_LONG {
  ULONG SteppingDelta;
  ULONG Reserved;
  KSPROPERTY_BOUNDS_LONG Bounds;
};
using PKSPROPERTY_STEPPING_LONG = KSPROPERTY_STEPPING_LONG*;
static_assert(sizeof(KSPROPERTY_STEPPING_LONG) == 16 && offsetof(KSPROPERTY_STEPPING_LONG, Bounds) == 8);

// Value types of a property description.
constexpr ULONG VT_I4 = 3;
constexpr ULONG VT_BOOL = 11;
constexpr ULONG VT_UI4 = 19;

#define STATIC_KSPROPTYPESETID_General 0x97E99BA0, 0xBDEA, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00
DEFINE_GUIDSTRUCT("97E99BA0-BDEA-11CF-A5D6-28DB04C10000", KSPROPTYPESETID_General);

enum KSSTATE : ULONG { KSSTATE_STOP = 0, KSSTATE_ACQUIRE = 1, KSSTATE_PAUSE = 2, KSSTATE_RUN = 3 };
using PKSSTATE = KSSTATE*;

enum KSPIN_DATAFLOW : ULONG { KSPIN_DATAFLOW_IN = 1, KSPIN_DATAFLOW_OUT = 2 };
enum KSPIN_COMMUNICATION : ULONG {
  KSPIN_COMMUNICATION_NONE = 0,
  KSPIN_COMMUNICATION_SINK = 1,
  KSPIN_COMMUNICATION_SOURCE = 2,
  KSPIN_COMMUNICATION_BOTH = 3,
  KSPIN_COMMUNICATION_BRIDGE = 4,
};

struct KSPIN_INTERFACE;
struct KSPIN_MEDIUM;

struct KSPIN_DESCRIPTOR {
  ULONG InterfacesCount;
  const KSPIN_INTERFACE* Interfaces;
  ULONG MediumsCount;
  const KSPIN_MEDIUM* Mediums;
  ULONG DataRangesCount;
  const PKSDATARANGE* DataRanges;
  KSPIN_DATAFLOW DataFlow;
  KSPIN_COMMUNICATION Communication;
  const GUID* Category;
  const GUID* Name;
  union {
    LONGLONG Reserved;
    struct {
      ULONG ConstrainedDataRangesCount;
      PKSDATARANGE* ConstrainedDataRanges;
    };
  };
};
static_assert(sizeof(KSPIN_DESCRIPTOR) == 88 && offsetof(KSPIN_DESCRIPTOR, DataRangesCount) == 32 &&
              offsetof(KSPIN_DESCRIPTOR, DataRanges) == 40 && offsetof(KSPIN_DESCRIPTOR, DataFlow) == 48 &&
              offsetof(KSPIN_DESCRIPTOR, Communication) == 52 && offsetof(KSPIN_DESCRIPTOR, Category) == 56 &&
              offsetof(KSPIN_DESCRIPTOR, Name) == 64);

// A format's specifier when there is nothing after the header (bridge pins).
#define STATIC_KSDATAFORMAT_SPECIFIER_NONE 0x0F6417D6, 0xC318, 0x11D0, 0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96
DEFINE_GUIDSTRUCT("0F6417D6-C318-11D0-A43F-00A0C9223196", KSDATAFORMAT_SPECIFIER_NONE);

#define STATIC_KSCATEGORY_AUDIO 0x6994AD04, 0x93EF, 0x11D0, 0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96
DEFINE_GUIDSTRUCT("6994AD04-93EF-11D0-A3CC-00A0C9223196", KSCATEGORY_AUDIO);
#define STATIC_KSCATEGORY_RENDER 0x65E8773E, 0x8F56, 0x11D0, 0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96
DEFINE_GUIDSTRUCT("65E8773E-8F56-11D0-A3B9-00A0C9223196", KSCATEGORY_RENDER);
#define STATIC_KSCATEGORY_CAPTURE 0x65E8773D, 0x8F56, 0x11D0, 0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96
DEFINE_GUIDSTRUCT("65E8773D-8F56-11D0-A3B9-00A0C9223196", KSCATEGORY_CAPTURE);
#define STATIC_KSCATEGORY_TOPOLOGY 0xDDA54A40, 0x1E4C, 0x11D1, 0xA0, 0x50, 0x40, 0x57, 0x05, 0xC1, 0x00, 0x00
DEFINE_GUIDSTRUCT("DDA54A40-1E4C-11D1-A050-405705C10000", KSCATEGORY_TOPOLOGY);
