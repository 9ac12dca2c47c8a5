/*
 * The controller's register map: I/O registers (offsets from PortBase), the
 * SGD table entry format, PCI configuration bytes, the diagnostic ports and
 * the AC'97 codec registers the driver uses. Every other file names a
 * register only through these constants.
 */
#pragma once

#include <wdm.h>

/* ---- SGD channel blocks (offsets from PortBase) ------------------------------------ */

const ULONG PlaybackChannel = 0x00;
const ULONG CaptureChannel = 0x10;
const ULONG SgdChannelCount = 2; /* ChannelIndex 0 = playback, 1 = capture */

/* Registers inside a channel block:            offset      width  access */
const ULONG ChannelStatus = 0x00;            /*  8  event bits, write 1 to clear */
const ULONG ChannelControl = 0x01;           /*  8  write only: start / terminate */
const ULONG ChannelType = 0x02;              /*  8  read-modify-write */
const ULONG ChannelTableAddress = 0x04;      /* 32  physical address of the SGD table */
const ULONG ChannelCurrentCount = 0x0C;      /* 32  bytes left in the current entry */

/* ChannelStatus bits */
const UCHAR ChannelStatusEvents = 0x03;      /* the two event bits; writing 1 clears */
const UCHAR ChannelStatusLowEvent = 0x01;    /* shown in SgdStatusShadow at bit c */
const UCHAR ChannelStatusHighEvent = 0x02;   /* shown in SgdStatusShadow at bit c + 4 */
const UCHAR ChannelStatusStartPending = 0x08;/* a start command waits for the EOL entry */
const UCHAR ChannelStatusActive = 0x80;      /* the channel is transferring */

/* ChannelControl commands */
const UCHAR ChannelControlStart = 0x80;
const UCHAR ChannelControlTerminate = 0x40;

/* ChannelType bits; 2, 3, 6 and 7 are always written back as read */
const UCHAR ChannelTypeInterruptEnables = 0x03; /* set or cleared together */
const UCHAR ChannelTypeStereo = 0x10;
const UCHAR ChannelTypeSixteenBit = 0x20;
const UCHAR ChannelTypeFormatBits = 0x30;

/* ---- SGD table entry: two 32-bit little-endian words ---------------------------------- */

const ULONG SgdEntrySize = 8;
const ULONG SgdCountMask = 0x00FFFFFF;       /* bits 0-23: byte count */
const ULONG SgdFlag = 0x40000000;            /* interrupt, go on to the next entry */
const ULONG SgdEol = 0x80000000;             /* interrupt, stop after this entry */

/* ---- Codec access port and SGD status shadow (offsets from PortBase) ------------------- */

const ULONG CodecDataPort = 0x80;            /* 16  data of a write / result of a read */
const ULONG CodecIndexPort = 0x82;           /*  8  register number; writing it issues */
const ULONG CodecStatusPort = 0x83;          /*  8  0 = free for a new command */
const ULONG SgdStatusShadow = 0x84;          /*  8  read only: both channels' events */

/* CodecIndexPort */
const UCHAR CodecIndexRegisterMask = 0x7F;
const UCHAR CodecIndexRead = 0x80;           /* clear: write command */

/* CodecStatusPort */
const UCHAR CodecStatusFree = 0x00;          /* the whole byte reads 0 */
const UCHAR CodecStatusDataReady = 0x02;     /* a read's data is in CodecDataPort */

/* SgdStatusShadow: channel c owns bits c and c + 4; bits 2, 3, 6 and 7 mean nothing here */
inline UCHAR SgdStatusLowEvent(ULONG Channel) { return (UCHAR)(0x01 << Channel); }
inline UCHAR SgdStatusHighEvent(ULONG Channel) { return (UCHAR)(0x10 << Channel); }
inline UCHAR SgdStatusEvents(ULONG Channel) { return (UCHAR)(0x11 << Channel); }

/* ---- PCI configuration bytes of the controller's function ------------------------------ */

const UCHAR PciRevisionId = 0x08;            /* bus path */
const UCHAR CodecLinkStatus = 0x40;          /* PCI BIOS path */
const UCHAR CodecLinkControl = 0x41;         /* PCI BIOS path */
const UCHAR MidiControl = 0x42;              /* bus path */
const UCHAR MidiPortSelect = 0x43;           /* bus path */

const UCHAR NewChipRevision = 0x20;          /* this revision and later */

/* CodecLinkStatus */
const UCHAR CodecLinkReady = 0x01;           /* bit 0: the codec answers */
const UCHAR CodecLinkStatusResetNeeded = 1;  /* whole byte, on the way to D0 */
const UCHAR CodecLinkStatusPulseNeeded = 2;

/* CodecLinkControl */
const UCHAR CodecLinkControlVra = 0x08;      /* kept through a reset */
const UCHAR CodecLinkControlReset = 0xC4;    /* bits 7, 6 and 2 */
const UCHAR CodecLinkControlPulse = 0x20;    /* held 5 us on the way to D0 */
const ULONG CodecLinkPulseMicroseconds = 5;

/* MidiControl */
const UCHAR MidiControlPortEnabled = 0x02;
const UCHAR MidiControlNewChipKeep = 0x3F;   /* bits 5-0 kept, bit 6 cleared ... */
const UCHAR MidiControlNewChipSet = 0x80;    /* ... and bit 7 set */

/* MidiPortSelect: bits 3-2 pick the MPU-401 base */
const UCHAR MidiPortSelectShift = 2;
const UCHAR MidiPortSelectMask = 0x03;
const ULONG MidiPortBase = 0x300;
const ULONG MidiPortStride = 0x10;
const ULONG MidiPortLength = 4;

/* ---- Diagnostic ports (absolute I/O addresses) and their marker bytes ------------------ */

const ULONG DiagnosticPortIdle = 0x90;
const ULONG DiagnosticPort = 0x91;

/*  port                          byte   written when */
const UCHAR MarkerBothPlaybackEvents = 0x96; /* 0x91  the ISR sees FLAG and EOL at once */
const UCHAR MarkerStopTimedOut = 0x97;       /* 0x91  the channel does not stop */
const UCHAR MarkerRecordsAtDestroy = 0x88;   /* 0x91  a stream dies with records queued */
const UCHAR MarkerNoCompletionRecord = 0x99; /* 0x91  an event without a record */
const UCHAR MarkerIdleAfterRefill = 0x93;    /* 0x90  service: idle after refilling */
const UCHAR MarkerIdleEarlyEntry0 = 0x59;    /* 0x90  service: entry 0 handled early */
const UCHAR MarkerMixerNotRestored = 0x9D;   /* 0x91  stored mixer unreadable: defaults, not saved */
const UCHAR MarkerCaptureDataLost = 0x9C;    /* 0x91  a captured block (or its rest) had no mapping */

/* ---- AC'97 codec registers -------------------------------------------------------------- */

const UCHAR AC97_RESET = 0x00;
const UCHAR AC97_MASTER_VOLUME = 0x02;
const UCHAR AC97_MASTER_VOLUME_MONO = 0x06;
const UCHAR AC97_PC_BEEP_VOLUME = 0x0A;
const UCHAR AC97_PHONE_VOLUME = 0x0C;
const UCHAR AC97_MIC_VOLUME = 0x0E;
const UCHAR AC97_LINE_IN_VOLUME = 0x10;
const UCHAR AC97_CD_VOLUME = 0x12;
const UCHAR AC97_VIDEO_VOLUME = 0x14;
const UCHAR AC97_AUX_VOLUME = 0x16;
const UCHAR AC97_PCM_OUT_VOLUME = 0x18;
const UCHAR AC97_RECORD_SELECT = 0x1A;
const UCHAR AC97_RECORD_GAIN = 0x1C;
const UCHAR AC97_GENERAL_PURPOSE = 0x20;
const UCHAR AC97_3D_CONTROL = 0x22;
const UCHAR AC97_POWERDOWN = 0x26;
const UCHAR AC97_EXTENDED_AUDIO_ID = 0x28;
const UCHAR AC97_EXTENDED_AUDIO_CONTROL = 0x2A;
const UCHAR AC97_PCM_FRONT_DAC_RATE = 0x2C;
const UCHAR AC97_PCM_LR_ADC_RATE = 0x32;
const UCHAR AC97_LAST_REGISTER = 0x7F;       /* the index port carries 7 bits */

/* The mixer registers 0x02-0x1C are cached, one word per even register */
const UCHAR CodecShadowFirst = 0x02;
const UCHAR CodecShadowLast = 0x1C;
const ULONG CodecShadowWords = 14;

/* The converter settings kept for the way back to D0: VRA enable, DAC rate, ADC rate */
const ULONG ConverterSettingCount = 3;

/* Bits the driver sets */
const USHORT AC97_GENERAL_PURPOSE_3D = 0x2000;
const USHORT AC97_EXTENDED_ID_VRA = 0x0001;
const USHORT AC97_EXTENDED_CONTROL_VRA = 0x0001;
const USHORT AC97_POWERDOWN_STATUS_BYTE = 0x00FF; /* the codec's control bits are the high byte */
const USHORT AC97_POWERDOWN_LOW_POWER_MARK = 0x0020; /* bit 5, set on every change of state */

/* A codec read that timed out */
const USHORT CodecReadTimedOut = 0xFFFF;

/* ---- Time limits of the codec and link waits (100-ns units) ---------------------------- */

const ULONGLONG CodecReadTimeout = 5000000;  /* 0.5 s */
const ULONGLONG CodecWriteTimeout = 5000;    /* 0.5 ms */
const ULONGLONG CodecLinkTimeout = 5000000;  /* 0.5 s */
