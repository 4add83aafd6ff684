// Controller command layer: the 40-byte command block, the reply records the
// daemon reads, and one function per controller operation. Every command goes
// through ProcessLibCommandF with the retry rule; nothing here logs.
#pragma once

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------
// Command block (little-endian, 40 bytes). Bytes 2-3, 12-15 and 20-27 are never
// written and stay zero.
struct CmdParam {
    uint8_t category;
    uint8_t opcode;
    uint8_t reserved0[2];
    uint32_t controllerId;
    union {
        struct {
            uint16_t deviceId;
            uint16_t reference; // sequenceNumber, or the LD number in its low byte
        } pd;
        uint32_t startSeq; // event-list read only
    } u;
    uint8_t reserved1[4];
    uint32_t argument; // new state byte, or the event filter word 0xFFFF
    uint8_t reserved2[8];
    uint32_t dataLength;
    void *dataBuffer;
};
static_assert(sizeof(CmdParam) == 40);
static_assert(offsetof(CmdParam, controllerId) == 4);
static_assert(offsetof(CmdParam, u) == 8);
static_assert(offsetof(CmdParam, u.pd.reference) == 10);
static_assert(offsetof(CmdParam, argument) == 16);
static_assert(offsetof(CmdParam, dataLength) == 28);
static_assert(offsetof(CmdParam, dataBuffer) == 32);

// ---------------------------------------------------------------------------
// Reply records. Only the named fields are read; the rest is the library's.
struct CtrlList {
    uint16_t ctrlCount;
    uint8_t rest[66];
};
static_assert(sizeof(CtrlList) == 68);

constexpr int CTRLINFO_NAME_OFFSET = 1344;
struct CtrlInfo {
    uint8_t head[CTRLINFO_NAME_OFFSET];
    char productName[2048 - CTRLINFO_NAME_OFFSET]; // NUL-terminated within the record
};
static_assert(sizeof(CtrlInfo) == 2048);
static_assert(offsetof(CtrlInfo, productName) == 1344);

constexpr int PDLIST_MAX = 256;
struct PdListEntry {
    uint16_t deviceId;
    uint8_t rest[22];
};
static_assert(sizeof(PdListEntry) == 24);
struct PdList {
    uint32_t reserved;
    uint32_t pdCount;
    PdListEntry entry[PDLIST_MAX];
};
static_assert(sizeof(PdList) == 6152);
static_assert(offsetof(PdList, pdCount) == 4);
static_assert(offsetof(PdList, entry) == 8);

constexpr int PDINFO_INQUIRY_SIZE = 96;
struct PdInfo {
    uint8_t r0[2];
    uint16_t sequenceNumber;                  // 2
    uint8_t inquiryData[PDINFO_INQUIRY_SIZE]; // 4: vendor, product, revision (serial) as text
    uint8_t r1[65];
    uint8_t deviceType; // 165
    uint8_t r2[2];
    uint32_t mediaErrorCount; // 168
    uint8_t r3[4];
    uint32_t predictiveFailureCount; // 176
    uint8_t r4[4];
    uint16_t firmwareState; // 184
    uint8_t r5[14];
    uint8_t sasAddress[2][8]; // 200: u64 per path, little-endian; the first path's is read
    uint8_t r6[40];
    uint16_t enclosureDeviceId; // 256
    uint8_t r7[1];
    uint8_t slotNumber; // 259
    uint8_t r8[110];
    uint8_t mediaType; // 370
    uint8_t r9[141];
};
static_assert(sizeof(PdInfo) == 512);
static_assert(offsetof(PdInfo, sequenceNumber) == 2);
static_assert(offsetof(PdInfo, deviceType) == 165);
static_assert(offsetof(PdInfo, mediaErrorCount) == 168);
static_assert(offsetof(PdInfo, predictiveFailureCount) == 176);
static_assert(offsetof(PdInfo, firmwareState) == 184);
static_assert(offsetof(PdInfo, mediaType) == 370);
static_assert(offsetof(PdInfo, inquiryData) == 4);
static_assert(offsetof(PdInfo, sasAddress) == 200);
static_assert(offsetof(PdInfo, enclosureDeviceId) == 256);
static_assert(offsetof(PdInfo, slotNumber) == 259);

struct LdInfo {
    uint8_t r0[32];
    uint8_t raidLevel; // 32
    uint8_t r1[5];
    uint8_t ldState; // 38
    uint8_t r2[345];
};
static_assert(sizeof(LdInfo) == 384);
static_assert(offsetof(LdInfo, raidLevel) == 32);
static_assert(offsetof(LdInfo, ldState) == 38);

constexpr int PDLDLIST_MAX = 64;
struct PdLdList {
    uint32_t ldCount;
    uint8_t ldNumbers[PDLDLIST_MAX];
};
static_assert(sizeof(PdLdList) == 68);
static_assert(offsetof(PdLdList, ldNumbers) == 4);

constexpr int SPARE_ARRAYS_MAX = 16;
struct SpareInfo {
    uint8_t r0[7];
    uint8_t arrayCount; // 7
    uint16_t arrayNumbers[SPARE_ARRAYS_MAX];
};
static_assert(sizeof(SpareInfo) == 40);
static_assert(offsetof(SpareInfo, arrayCount) == 7);
static_assert(offsetof(SpareInfo, arrayNumbers) == 8);

struct EventLogInfo {
    uint32_t newestSeq;
    uint8_t rest[16];
};
static_assert(sizeof(EventLogInfo) == 20);

struct EventDetail {
    uint32_t seqNum;    // 0
    uint32_t timeStamp; // 4
    uint16_t eventCode; // 8
    uint8_t r0[22];
    uint16_t pdDeviceId; // 32
    uint8_t r1[22];
    uint8_t senseData0; // 56: start of SCSI fixed-format sense data
    uint8_t senseData1;
    uint8_t senseKey; // 58
    uint8_t r2[9];
    uint8_t senseCode;      // 68
    uint8_t senseQualifier; // 69
    uint8_t r3[58];
    char description[128]; // 128
};
static_assert(sizeof(EventDetail) == 256);
static_assert(offsetof(EventDetail, timeStamp) == 4);
static_assert(offsetof(EventDetail, eventCode) == 8);
static_assert(offsetof(EventDetail, pdDeviceId) == 32);
static_assert(offsetof(EventDetail, senseKey) == 58);
static_assert(offsetof(EventDetail, senseCode) == 68);
static_assert(offsetof(EventDetail, senseQualifier) == 69);
static_assert(offsetof(EventDetail, description) == 128);

// EventList: an 8-byte header followed by eventCount EventDetail records.
struct EventListHeader {
    uint32_t eventCount;
    uint32_t reserved;
};
static_assert(sizeof(EventListHeader) == 8);
constexpr int EVENTLIST_HEADER = 8;
constexpr int EVENTDETAIL_SIZE = 256;

// Record k of an EventList block (the caller keeps k below the block's room).
inline EventDetail *pEventRecord(void *block, int k) {
    return reinterpret_cast<EventDetail *>(static_cast<unsigned char *>(block) + EVENTLIST_HEADER +
                                           static_cast<size_t>(EVENTDETAIL_SIZE) * k);
}

// Drive states.
constexpr int PD_STATE_UNCONFIGURED_GOOD = 0;
constexpr int PD_STATE_UNCONFIGURED_BAD = 1;
constexpr int PD_STATE_HOT_SPARE = 2;
constexpr int PD_STATE_FAILED = 17;
constexpr int PD_STATE_REBUILD = 20;
constexpr int PD_STATE_ONLINE = 24;

// Library statuses the daemon treats specially.
constexpr int LIB_STATUS_REBUILD_CANCEL_END = 50; // rebuild cancel: give up at once
constexpr int LIB_STATUS_EVENT_NONE = 35;         // event list: not reported

// ---------------------------------------------------------------------------
// Shared command state.
typedef int (*ProcessLibCommand_t)(void *);
extern ProcessLibCommand_t ProcessLibCommandF;
extern CmdParam tCmdParam;
extern int tErrInfo[12]; // 48-byte status cell; only the first int is used
extern CtrlList tCtrlList;
extern CtrlInfo tCtrInfo;
extern PdInfo tPhysInfo;
extern PdList *tPhysList; // heap block, held only during a drive health scan
extern int giCtrlCnt;
// While nonzero, a stop request neither shortens the retry waits nor ends the
// attempts: set by a removal once it has changed a drive's state, so that its
// remaining commands run as they would without the stop.
extern int g_iRetryThroughStop;

// ---------------------------------------------------------------------------
// Commands. All return 1 on success, 0 on failure; `count` is the number of
// attempts, `status` the status cell.
int iControllerSearch(CtrlList *reply, int count, int *status);
int iGetControllerInfo(int controller, CtrlInfo *reply, int count, int *status);
int iGetPdList(int controller, PdList *reply, int count, int *status);
int iGetPhysicalInfo(int controller, int deviceId, PdInfo *reply, int count, int *status);
int iRebuildCancel(int controller, int deviceId, int sequence, int count, int *status);
int iGetDHotInfo(int controller, int deviceId, SpareInfo *reply, int count, int *status);
int iRemoveHotSpare(int controller, int deviceId, int sequence, int count, int *status);
int iGetVdNo(int controller, int deviceId, PdLdList *reply, int count, int *status);
int iSetState(int controller, int deviceId, int state, int sequence, int count, int *status);
int iGetLdInfo(int controller, int ldNumber, LdInfo *reply, int count, int *status);
int iGetEventSquenceInfo(int controller, EventLogInfo *reply, int count, int *status);
int iGetEventList(int controller, int eventCount, unsigned int startSeq, void *reply,
                  int replyLength, int *status);
