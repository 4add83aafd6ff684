// The removed-drive register. Two guarantees matter more than anything else
// here, since the register is what keeps a removed drive out of service across
// restarts:
//  - a line appended by a removal is flushed and synced before the removal is
//    reported;
//  - the start-up rewrite never empties the register before the new content is
//    complete: the surviving lines go to a new file, which is synced and then
//    renamed over the register. A crash at any point leaves either the old or
//    the new register, never a truncated one.
// Copying and deleting "PdState_Flag.bak" are plain file operations: no shell
// ever sees a path.
#include "isolate/register.h"

#include "alert/alert.h"
#include "log/messages.h"
#include "process/files.h"
#include "process/process.h"
#include "storage/StoreCmd.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int REGISTER_LINE_SIZE = 256;

// Makes a directory entry change (new file, rename) durable.
void vSyncModuleDir() {
    const char *dir = gcModulePath[0] != '\0' ? gcModulePath : "/";
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

// Flushes a stream and syncs its file; false when either fails.
bool bFlushSync(FILE *f) {
    return fflush(f) == 0 && fsync(fileno(f)) == 0;
}

// Copies the register to its temporary copy. On failure errno tells why.
bool bCopyFile(const char *from, const char *to) {
    FilePtr in(fopen(from, "r"));
    if (!in)
        return false;
    FilePtr out(fopen(to, "w"));
    if (!out)
        return false;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, in.get())) > 0) {
        if (fwrite(buffer, 1, n, out.get()) != n)
            return false;
    }
    if (ferror(in.get()))
        return false;
    return bFlushSync(out.get());
}

// A register line is "controller,deviceId"; fields are split at ",", CR and LF
// with empty pieces dropped. A line without two numeric fields (a blank line,
// no comma, text) names no drive and is dropped.
bool bParseLine(char *line, int *controller, int *deviceId) {
    char *save = nullptr;
    char *first = strtok_r(line, ",\r\n", &save);
    char *second = first != nullptr ? strtok_r(nullptr, ",\r\n", &save) : nullptr;
    if (first == nullptr || second == nullptr)
        return false;
    char *end = nullptr;
    long c = strtol(first, &end, 10);
    if (end == first)
        return false;
    long d = strtol(second, &end, 10);
    if (end == second)
        return false;
    if (c < INT32_MIN || c > INT32_MAX)
        return false;
    *controller = static_cast<int>(c);
    *deviceId = static_cast<int>(static_cast<uint16_t>(static_cast<unsigned long>(d) & 0xFFFFu));
    return true;
}

} // namespace

int iHSPFileMake(int controller, int deviceId) {
    char path[MODULE_FILE_PATH_SIZE];
    vModuleFilePath(path, REGISTER_FILE_NAME);
    bool existed = access(path, F_OK) == 0;
    FilePtr file(fopen(path, "a+"));
    if (!file) {
        vLogID5009_Output(REGISTER_FILE_NAME, "iHSPFileMake", errno);
        return 0;
    }
    char entry[64];
    int len = snprintf(entry, sizeof entry, "%d,%d\n", controller,
                       static_cast<int>(static_cast<int16_t>(deviceId)));

    bool duplicate = false;
    rewind(file.get());
    char line[REGISTER_LINE_SIZE];
    while (fgets(line, sizeof line, file.get()) != nullptr) {
        if (strncmp(line, entry, static_cast<size_t>(len)) == 0)
            duplicate = true;
    }
    if (!duplicate) {
        fputs(entry, file.get());
        bFlushSync(file.get());
        if (!existed)
            vSyncModuleDir();
    }
    return 1;
}

int iStateChkSet(int controller, int deviceId) {
    int dev = static_cast<int16_t>(deviceId);
    AlertDriveScope scope(controller, deviceId, nullptr);
    if (iGetPhysicalInfo(controller, dev, &tPhysInfo, 2, tErrInfo) != 1) {
        vLogID5007_Output("iStateChkSet", tErrInfo[0]);
        return 3;
    }
    if (tPhysInfo.firmwareState != PD_STATE_UNCONFIGURED_GOOD)
        return 2;
    if (iSetState(controller, dev, PD_STATE_UNCONFIGURED_BAD, tPhysInfo.sequenceNumber, 2,
                  tErrInfo) == 1) {
        vLogID4600_Output(deviceId);
        return 0;
    }
    vLogID4601_Output(deviceId);
    return -1;
}

int iHspFlgChk() {
    char registerPath[MODULE_FILE_PATH_SIZE];
    char copyPath[MODULE_FILE_PATH_SIZE];
    char newPath[MODULE_FILE_PATH_SIZE];
    vModuleFilePath(registerPath, REGISTER_FILE_NAME);
    vModuleFilePath(copyPath, REGISTER_COPY_NAME);
    vModuleFilePath(newPath, REGISTER_NEW_NAME);

    struct stat st {};
    if (stat(registerPath, &st) != 0)
        return 1;

    // A failed copy must not let a stale copy from an earlier start be read.
    if (!bCopyFile(registerPath, copyPath)) {
        int err = errno;
        unlink(copyPath);
        vLogID5009_Output(REGISTER_COPY_NAME, "iHspFlgChk", err);
        return 0;
    }
    FilePtr copy(fopen(copyPath, "r"));
    if (!copy) {
        vLogID5009_Output(REGISTER_COPY_NAME, "iHspFlgChk", errno);
        return 0;
    }
    FilePtr fresh(fopen(newPath, "w"));
    if (!fresh) {
        vLogID5009_Output(REGISTER_FILE_NAME, "iHspFlgChk", errno);
        return 0;
    }
    fchmod(fileno(fresh.get()), st.st_mode & 07777);

    char line[REGISTER_LINE_SIZE];
    while (fgets(line, sizeof line, copy.get()) != nullptr) {
        int controller = 0;
        int deviceId = 0;
        if (!bParseLine(line, &controller, &deviceId))
            continue;
        int result = iStateChkSet(controller, deviceId);
        if (result == 0 || result == -1)
            fprintf(fresh.get(), "%d,%d\n", controller, deviceId);
    }

    // Only a complete, synced new register replaces the old one.
    bool written = !ferror(fresh.get()) && bFlushSync(fresh.get());
    int err = errno;
    fresh.reset();
    copy.reset();
    if (!written || rename(newPath, registerPath) != 0) {
        if (written)
            err = errno;
        unlink(newPath);
        vLogID5009_Output(REGISTER_FILE_NAME, "iHspFlgChk", err);
        return 0;
    }
    vSyncModuleDir();
    unlink(copyPath);
    return 1;
}

int iRegisterLineCount() {
    char path[MODULE_FILE_PATH_SIZE];
    vModuleFilePath(path, REGISTER_FILE_NAME);
    FilePtr file(fopen(path, "re"));
    if (!file)
        return 0;
    int count = 0;
    char line[REGISTER_LINE_SIZE];
    while (fgets(line, sizeof line, file.get()) != nullptr) {
        int controller = 0;
        int deviceId = 0;
        if (bParseLine(line, &controller, &deviceId))
            count++;
    }
    return count;
}
