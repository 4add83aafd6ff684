// Controller command layer: fills the shared command block, calls the library
// and retries a failed call after an interruptible wait.
#include "storage/StoreCmd.h"

#include "metrics/metrics.h"
#include "process/process.h"
#include "service/notify.h"

#include <cstring>
#include <unistd.h>

ProcessLibCommand_t ProcessLibCommandF = nullptr;
CmdParam tCmdParam;
int tErrInfo[12];
CtrlList tCtrlList;
CtrlInfo tCtrInfo;
PdInfo tPhysInfo;
PdList *tPhysList = nullptr;
int giCtrlCnt = 0;
int g_iRetryThroughStop = 0;

namespace {

constexpr int WAIT_SECONDS = 5;
constexpr int WAIT_SECONDS_SPARE = 3;

enum RetryRule {
    RETRY_PLAIN,       // give up when a stop was requested
    RETRY_CANCEL,      // as plain, and status 50 ends the command at once
    RETRY_IGNORE_STOP, // a stop shortens the waits but all attempts are made
};

// Starts a command: clears the reply over its length and the whole block.
void vPrepare(uint8_t category, uint8_t opcode, void *reply, uint32_t length, bool clearReply) {
    if (reply != nullptr && clearReply)
        memset(reply, 0, length);
    memset(&tCmdParam, 0, sizeof tCmdParam);
    tCmdParam.category = category;
    tCmdParam.opcode = opcode;
    tCmdParam.dataLength = reply != nullptr ? length : 0;
    tCmdParam.dataBuffer = reply;
}

bool bStopHonoured() {
    return g_iSignalRecv == 1 && g_iRetryThroughStop == 0;
}

int iAttempts(int count, int *status, int waitSeconds, RetryRule rule) {
    if (ProcessLibCommandF == nullptr)
        return 0;
    for (int attempt = 0; attempt < count; attempt++) {
        vNotifyAlive(); // the longest step without a ping is one command
        int result = ProcessLibCommandF(&tCmdParam);
        *status = result;
        if (result == 0)
            return 1;
        if (rule == RETRY_CANCEL && result == LIB_STATUS_REBUILD_CANCEL_END)
            return 0;
        for (int w = 0; w < waitSeconds; w++) {
            if (bStopHonoured())
                break;
            vNotifyAlive();
            sleep(1);
        }
        if (rule != RETRY_IGNORE_STOP && bStopHonoured())
            return 0;
    }
    return 0;
}

// A command that fails after its attempts is counted for the metrics.
int iIssue(MetricsCommand command, int count, int *status, int waitSeconds, RetryRule rule) {
    int ok = iAttempts(count, status, waitSeconds, rule);
    if (!ok)
        vMetricsCommandFailed(command);
    return ok;
}

void vDrive(int controller, int deviceId) {
    tCmdParam.controllerId = static_cast<uint32_t>(controller);
    tCmdParam.u.pd.deviceId = static_cast<uint16_t>(deviceId);
}

} // namespace

int iControllerSearch(CtrlList *reply, int count, int *status) {
    vPrepare(0, 0, reply, sizeof(CtrlList), true);
    int ok = iIssue(METRICS_CMD_CONTROLLER_LIST, count, status, WAIT_SECONDS, RETRY_PLAIN);
    if (ok)
        giCtrlCnt = reply->ctrlCount;
    return ok;
}

int iGetControllerInfo(int controller, CtrlInfo *reply, int count, int *status) {
    vPrepare(1, 0, reply, sizeof(CtrlInfo), true);
    tCmdParam.controllerId = static_cast<uint32_t>(controller);
    return iIssue(METRICS_CMD_CONTROLLER_INFO, count, status, WAIT_SECONDS, RETRY_PLAIN);
}

int iGetPdList(int controller, PdList *reply, int count, int *status) {
    vPrepare(1, 4, reply, sizeof(PdList), true);
    tCmdParam.controllerId = static_cast<uint32_t>(controller);
    return iIssue(METRICS_CMD_PD_LIST, count, status, WAIT_SECONDS, RETRY_PLAIN);
}

int iGetPhysicalInfo(int controller, int deviceId, PdInfo *reply, int count, int *status) {
    vPrepare(2, 0, reply, sizeof(PdInfo), true);
    vDrive(controller, deviceId);
    return iIssue(METRICS_CMD_PD_INFO, count, status, WAIT_SECONDS, RETRY_PLAIN);
}

int iRebuildCancel(int controller, int deviceId, int sequence, int count, int *status) {
    vPrepare(2, 6, nullptr, 0, false);
    vDrive(controller, deviceId);
    tCmdParam.u.pd.reference = static_cast<uint16_t>(sequence);
    return iIssue(METRICS_CMD_REBUILD_CANCEL, count, status, WAIT_SECONDS, RETRY_CANCEL);
}

// A failed read is how a global spare shows itself, not a failure: it is not
// counted for the metrics.
int iGetDHotInfo(int controller, int deviceId, SpareInfo *reply, int count, int *status) {
    vPrepare(2, 12, reply, sizeof(SpareInfo), false);
    vDrive(controller, deviceId);
    return iAttempts(count, status, WAIT_SECONDS_SPARE, RETRY_PLAIN);
}

int iRemoveHotSpare(int controller, int deviceId, int sequence, int count, int *status) {
    vPrepare(2, 13, nullptr, 0, false);
    vDrive(controller, deviceId);
    tCmdParam.u.pd.reference = static_cast<uint16_t>(sequence);
    return iIssue(METRICS_CMD_REMOVE_SPARE, count, status, WAIT_SECONDS, RETRY_PLAIN);
}

int iGetVdNo(int controller, int deviceId, PdLdList *reply, int count, int *status) {
    vPrepare(2, 16, reply, sizeof(PdLdList), false);
    vDrive(controller, deviceId);
    return iIssue(METRICS_CMD_PD_LD_LIST, count, status, WAIT_SECONDS, RETRY_PLAIN);
}

int iSetState(int controller, int deviceId, int state, int sequence, int count, int *status) {
    vPrepare(2, 19, nullptr, 0, false);
    vDrive(controller, deviceId);
    tCmdParam.u.pd.reference = static_cast<uint16_t>(sequence);
    tCmdParam.argument = static_cast<uint8_t>(state);
    return iIssue(METRICS_CMD_SET_STATE, count, status, WAIT_SECONDS, RETRY_PLAIN);
}

int iGetLdInfo(int controller, int ldNumber, LdInfo *reply, int count, int *status) {
    vPrepare(3, 0, reply, sizeof(LdInfo), true);
    tCmdParam.controllerId = static_cast<uint32_t>(controller);
    tCmdParam.u.pd.reference = static_cast<uint8_t>(ldNumber); // byte 10 only
    return iIssue(METRICS_CMD_LD_INFO, count, status, WAIT_SECONDS, RETRY_IGNORE_STOP);
}

int iGetEventSquenceInfo(int controller, EventLogInfo *reply, int count, int *status) {
    vPrepare(7, 0, reply, sizeof(EventLogInfo), false);
    tCmdParam.controllerId = static_cast<uint32_t>(controller);
    return iIssue(METRICS_CMD_EVENT_INFO, count, status, WAIT_SECONDS, RETRY_PLAIN);
}

// The event-list read does not clear the block: it overwrites its own fields
// and makes a single attempt.
int iGetEventList(int controller, int eventCount, unsigned int startSeq, void *reply,
                  int replyLength, int *status) {
    tCmdParam.category = 7;
    tCmdParam.opcode = 1;
    tCmdParam.controllerId = static_cast<uint32_t>(controller);
    tCmdParam.u.startSeq = startSeq;
    tCmdParam.argument = 0xFFFF;
    tCmdParam.dataLength = static_cast<uint32_t>(replyLength);
    tCmdParam.dataBuffer = reply;
    if (reply != nullptr && replyLength >= static_cast<int>(sizeof(EventListHeader))) {
        uint32_t wanted = static_cast<uint32_t>(eventCount);
        memcpy(reply, &wanted, sizeof wanted);
    }
    if (ProcessLibCommandF == nullptr)
        return 0;
    // One attempt and no retry wait, but pinged around like every command: a
    // long run of batches must not starve the watchdog.
    vNotifyAlive();
    *status = ProcessLibCommandF(&tCmdParam);
    vNotifyAlive();
    // "No event" only means the log has nothing new.
    if (*status != 0 && *status != LIB_STATUS_EVENT_NONE)
        vMetricsCommandFailed(METRICS_CMD_EVENT_LIST);
    return *status == 0 ? 1 : 0;
}
