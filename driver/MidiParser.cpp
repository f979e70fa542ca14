#include "driver/MidiParser.h"

namespace {

constexpr UCHAR kSysExStart = 0xF0;
constexpr UCHAR kTuneRequest = 0xF6;
constexpr UCHAR kFirstRealTime = 0xF8;

// MIDI bytes a packet carries, by its code index number.
constexpr UCHAR kBytesOfCodeIndex[] = {0, 0, 2, 3, 3, 1, 2, 3, 3, 3, 3, 3, 2, 2, 3, 1};
static_assert(sizeof(kBytesOfCodeIndex) == 16);

bool IsStatusByte(UCHAR b) { return (b & 0x80) != 0; }

VOID CompleteEvent(MidiParser* parser, UCHAR codeIndex, UCHAR b1, UCHAR b2, UCHAR b3) {
  parser->mEvent = {codeIndex, {b1, b2, b3}};
  parser->mEventReady = 1;
}

// A status byte (0xF7 or any other) ends the SysEx: the pending bytes and the status byte go out
// as its last event.
VOID CloseSysEx(MidiParser* parser, UCHAR s) {
  switch (parser->mPendingCount) {
    case 0: CompleteEvent(parser, kCinSingleByte, s, 0, 0); break;
    case 1: CompleteEvent(parser, kCinSysExEndsTwo, parser->mStatus, s, 0); break;
    default: CompleteEvent(parser, kCinSysExEndsThree, parser->mStatus, parser->mFirstData, s); break;
  }
  parser->mPendingCount = 0;
}

VOID AddSysExByte(MidiParser* parser, UCHAR b) {
  switch (parser->mPendingCount) {
    case 0:
      parser->mStatus = b;
      parser->mPendingCount = 1;
      break;
    case 1:
      parser->mFirstData = b;
      parser->mPendingCount = 2;
      break;
    default:
      CompleteEvent(parser, kCinSysExContinues, parser->mStatus, parser->mFirstData, b);
      parser->mPendingCount = 0;
      break;
  }
}

// The code index number of a completed channel or system common message.
UCHAR MessageCodeIndex(UCHAR status, UCHAR systemCommonCodeIndex) {
  return status >= 0xF0 ? systemCommonCodeIndex : static_cast<UCHAR>(status >> 4);
}

}  // namespace

VOID InitializeMidiParser(MidiParser* parser, LONG cable) {
  *parser = {};
  parser->mCable = cable;
}

UCHAR NextParserState(const MidiParser* parser) {
  const UCHAR running = parser->mRunningStatus;
  if (running == 0 || running >= 0xF0) return kMidiIdle;
  if (running >= 0xC0 && running <= 0xDF) return kMidiWaitSingleData;
  return kMidiWaitFirstOfTwo;
}

VOID ParseStatusByte(MidiParser* parser, UCHAR s) {
  parser->mStatus = s;
  switch (s >> 4) {
    case 0xC:
    case 0xD:
      parser->mRunningStatus = s;
      parser->mState = kMidiWaitSingleData;
      return;
    case 0xF: break;
    default:
      parser->mRunningStatus = s;
      parser->mState = kMidiWaitFirstOfTwo;
      return;
  }
  parser->mRunningStatus = 0;
  switch (s) {
    case kSysExStart:
      parser->mPendingCount = 1;
      parser->mState = kMidiInSysEx;
      break;
    case 0xF1:
    case 0xF3: parser->mState = kMidiWaitSingleData; break;
    case 0xF2: parser->mState = kMidiWaitFirstOfTwo; break;
    case kTuneRequest:
      // Behind the closing event when this byte also ended a SysEx.
      if (parser->mEventReady) parser->mTuneRequestReady = 1;
      else CompleteEvent(parser, kCinSingleByte, kTuneRequest, 0, 0);
      parser->mState = kMidiIdle;
      break;
    default: parser->mState = kMidiIdle; break;  // 0xF4, 0xF5, 0xF7
  }
}

VOID ParseMidiByte(MidiParser* parser, UCHAR b) {
  parser->mEventReady = 0;
  parser->mTuneRequestReady = 0;
  if (b >= kFirstRealTime) {
    // Between the bytes of any message: the message goes on as if it had not come.
    CompleteEvent(parser, kCinRealTime, b, 0, 0);
    return;
  }
  if (parser->mState == kMidiInSysEx) {
    if (!IsStatusByte(b)) {
      AddSysExByte(parser, b);
      return;
    }
    CloseSysEx(parser, b);
    ParseStatusByte(parser, b);
    return;
  }
  if (IsStatusByte(b)) {
    ParseStatusByte(parser, b);
    return;
  }
  switch (parser->mState) {
    case kMidiWaitSingleData:
      CompleteEvent(parser, MessageCodeIndex(parser->mStatus, kCinTwoByteCommon), parser->mStatus, b, 0);
      parser->mState = NextParserState(parser);
      break;
    case kMidiWaitFirstOfTwo:
      parser->mFirstData = b;
      parser->mState = kMidiWaitSecondOfTwo;
      break;
    case kMidiWaitSecondOfTwo:
      CompleteEvent(parser, MessageCodeIndex(parser->mStatus, kCinThreeByteCommon), parser->mStatus,
                    parser->mFirstData, b);
      parser->mState = NextParserState(parser);
      break;
    default: break;  // a data byte without a status byte to run on
  }
}

BOOLEAN TakeMidiEvent(MidiParser* parser, MidiParsedEvent* event) {
  if (!parser->mEventReady) return FALSE;
  *event = parser->mEvent;
  parser->mEventReady = 0;
  if (parser->mTuneRequestReady) {
    parser->mTuneRequestReady = 0;
    CompleteEvent(parser, kCinSingleByte, kTuneRequest, 0, 0);
  }
  return TRUE;
}

VOID InitializeMidiCableParsers(MidiCableParsers* parsers) {
  for (ULONG cable = 0; cable < kMidiParserCables; ++cable)
    InitializeMidiParser(&parsers->mParsers[cable], static_cast<LONG>(cable));
}

VOID UnpackMidiWord(MidiCableParsers* parsers, ULONG packet, MidiMessageSink sink, PVOID context) {
  const ULONG cable = packet >> 28;
  if (cable >= kMidiParserCables) return;
  const UCHAR bytes[3] = {static_cast<UCHAR>(packet >> 16), static_cast<UCHAR>(packet >> 8),
                          static_cast<UCHAR>(packet)};
  const UCHAR length = kBytesOfCodeIndex[(packet >> 24) & 0xF];
  for (UCHAR i = 0; i < length; ++i) PackMidiEvent(parsers, cable, bytes[i], sink, context);
}

VOID PackMidiEvent(MidiCableParsers* parsers, ULONG cable, UCHAR b, MidiMessageSink sink, PVOID context) {
  if (cable >= kMidiParserCables) return;
  MidiParser* parser = &parsers->mParsers[cable];
  ParseMidiByte(parser, b);
  MidiParsedEvent event;
  while (TakeMidiEvent(parser, &event)) {
    // The code index number is not carried: the client reads the message from its status byte.
    KernelMidiEvent message = {};
    message.mCableKind = static_cast<UCHAR>(cable << 4);
    message.mBytes[0] = event.mBytes[0];
    message.mBytes[1] = event.mBytes[1];
    message.mBytes[2] = event.mBytes[2];
    sink(context, cable, &message);
  }
}
