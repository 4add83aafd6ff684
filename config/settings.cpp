// The settings globals and the Kestrun.ini reader.
//
// The reader has rules of its own (substring search for headers and keys, one
// key per line, values after the first run of "=", no trimming). It is the
// daemon's only untrusted text input, so every value is bounded here:
//  - texts longer than their entry are cut to the entry (7, 79, 255
//    characters), except NOTIFY_PROGRAM and METRICS_FILE, which are refused
//    (running or writing whatever lies at a cut path is worse than neither);
//  - AERROR_SENSE_KEYn above 100 and MCMR_NAMEn above 10 are ignored, while the
//    counts themselves are stored as read (their users clamp them);
//  - numbers beyond the int range saturate at INT_MIN/INT_MAX, and so does
//    THRESHOLD_TIME once multiplied by 60;
//  - MC_MODE=ON with LWAIT_TIME below 1000 (a zero divisor) leaves the MEDIUM
//    window unchanged; a window beyond the ring is clamped by the scan;
//  - ACTION_MODE is a safety switch: a value that is neither OBSERVE... nor
//    REMOVE... means observe mode, so a typo never lets drives be removed.
// The same code tells Kestrun --check what it ignored and why (the notes).
#include "config/settings.h"

#include "process/files.h"
#include "process/process.h"
#include "process/regular_file.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

int g_iLWaitTime = 6000;
int g_iAppLogSwitch = 1;
int g_iPreServLogSwitch = 1;
int g_iThresholdMode = 1;
int g_iThresholdTime = 5;
int g_iPollEvent = 0;
int g_iSmartMode = 1;
int g_iAErrorMode = 1;
int g_iAErrorCnt = 1;
char g_cAErrSenseKey[SENSE_KEY_ENTRIES][SENSE_KEY_SIZE];
int g_iAErrorCntHDD = 20;
int g_iAErrorCntSSD = 30;
int g_iMErrMode = 1;
int g_iMBoardCnt = 0;
char g_cMBoardName[MBOARD_ENTRIES][MBOARD_NAME_SIZE];
int g_iHistoryCnt = 7;
char g_cLibFileName[LIB_NAME_SIZE];
int g_iMcTblDiff = 0;
char g_cNotifyProgram[LIB_NAME_SIZE];
char g_cMetricsFile[LIB_NAME_SIZE];
int g_iActionMode = ACTION_REMOVE;
char g_cNotifyProgramTooLong[LIB_NAME_SIZE];
char g_cMetricsFileTooLong[LIB_NAME_SIZE];
char g_cActionModeUnknown[ACTION_VALUE_SIZE];

void vSettingsDefault() {
    g_iLWaitTime = 6000;
    g_iAppLogSwitch = 1;
    g_iPreServLogSwitch = 1;
    g_iThresholdMode = 1;
    g_iThresholdTime = 5; // seconds: the file's minutes only apply when read
    g_iPollEvent = 0;
    g_iSmartMode = 1;
    g_iAErrorMode = 1;
    g_iAErrorCntHDD = 20;
    g_iAErrorCntSSD = 30;
    g_iMErrMode = 1;
    g_iMBoardCnt = 0;
    g_iHistoryCnt = 7;
    g_iActionMode = ACTION_REMOVE;
}

namespace {

constexpr int LINE_SIZE = 512; // lines are read in pieces of at most 511 bytes

enum Section {
    SEC_NONE = -1,
    SEC_WAIT,
    SEC_APPLOG,
    SEC_PFSERVLOG,
    SEC_THRESHOLD,
    SEC_POLL,
    SEC_SMART,
    SEC_AERROR,
    SEC_MEDIUM,
    SEC_HISTORY,
    SEC_LIB,
    SEC_NOTIFY,
    SEC_METRICS,
    SEC_ACTION
};

const char *const kHeaders[] = {"[WAIT]",   "[APPLOG]",  "[PFSERVLOG]", "[THRESHOLD]", "[POLL]",
                                "[SMART]",  "[AERROR]",  "[MEDIUM]",    "[HISTORY]",   "[LIB]",
                                "[NOTIFY]", "[METRICS]", "[ACTION]"};
constexpr int SECTION_COUNT = static_cast<int>(sizeof kHeaders / sizeof kHeaders[0]);

// Every key by name and section, for telling why a line was not taken; the
// numbered ones (indexed) are followed by their number.
struct KeyName {
    const char *name;
    int section;
    bool indexed;
};
const KeyName kKeyNames[] = {{"LWAIT_TIME", SEC_WAIT, false},
                             {"APPLOG_SWITCH", SEC_APPLOG, false},
                             {"PFSERVLOG_SWITCH", SEC_PFSERVLOG, false},
                             {"THRESHOLD_MODE", SEC_THRESHOLD, false},
                             {"THRESHOLD_TIME", SEC_THRESHOLD, false},
                             {"POLL_EVENT", SEC_POLL, false},
                             {"SMART_MODE", SEC_SMART, false},
                             {"AERROR_MODE", SEC_AERROR, false},
                             {"AERROR_SENSE_COUNT", SEC_AERROR, false},
                             {"AERROR_SENSE_KEY", SEC_AERROR, true},
                             {"AERROR_COUNT_HDD", SEC_AERROR, false},
                             {"AERROR_COUNT_SSD", SEC_AERROR, false},
                             {"MC_MODE", SEC_MEDIUM, false},
                             {"MCMR_COUNT", SEC_MEDIUM, false},
                             {"MCMR_NAME", SEC_MEDIUM, true},
                             {"HISTORY_COUNT", SEC_HISTORY, false},
                             {"LIBPATH", SEC_LIB, false},
                             {"NOTIFY_PROGRAM", SEC_NOTIFY, false},
                             {"METRICS_FILE", SEC_METRICS, false},
                             {"ACTION_MODE", SEC_ACTION, false}};

// --- notes (only while a caller asks for them) ---

constexpr int REPEAT_ENTRIES = 160; // every key, numbered ones included
struct Applied {
    char key[32];
    int line;
};
struct NoteState {
    const SettingsNotes *sink = nullptr;
    int line = 0;
    int section = SEC_NONE;
    Applied applied[REPEAT_ENTRIES];
    int appliedCount = 0;
} g_notes;

bool bNoting() {
    return g_notes.sink != nullptr && g_notes.sink->note != nullptr;
}

__attribute__((format(printf, 2, 3))) void vNote(int level, const char *format, ...) {
    if (!bNoting())
        return;
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    g_notes.sink->note(g_notes.sink->context, g_notes.line, level, text);
}

// A value as a note shows it: cut at its line end and at 60 characters,
// control characters as "?".
struct Shown {
    char text[64];
    explicit Shown(const char *value) {
        size_t n = 0;
        for (; value[n] != '\0' && value[n] != '\r' && value[n] != '\n' && n < 60; n++)
            text[n] = static_cast<unsigned char>(value[n]) < 0x20 ? '?' : value[n];
        text[n] = '\0';
        if (value[n] != '\0' && value[n] != '\r' && value[n] != '\n')
            snprintf(text + n, sizeof text - n, "...");
    }
};

const char *pcSectionName(int section) {
    return section >= 0 && section < SECTION_COUNT ? kHeaders[section] : "(none)";
}

// Remembers that `key` took a value on this line; a key taken before is
// noted with the line it overrides.
void vNoteApplied(const char *key) {
    if (!bNoting())
        return;
    for (int i = 0; i < g_notes.appliedCount; i++) {
        Applied &a = g_notes.applied[i];
        if (strcmp(a.key, key) == 0) {
            vNote(SETTINGS_NOTE_WARNING, "%s repeated: this line wins over line %d", key, a.line);
            a.line = g_notes.line;
            return;
        }
    }
    if (g_notes.appliedCount < REPEAT_ENTRIES) {
        Applied &a = g_notes.applied[g_notes.appliedCount++];
        snprintf(a.key, sizeof a.key, "%s", key);
        a.line = g_notes.line;
    }
}

void vNoteEmpty(const char *key, const char *effect) {
    vNote(SETTINGS_NOTE_WARNING, "%s has an empty value: %s", key, effect);
}

// A value read as a number: digits missing or followed by other text, beyond
// the int range, or outside [lo, hi] (`what` says what such a value does).
void vNoteNumber(const char *key, const char *value, long long taken, long long lo, long long hi,
                 const char *what) {
    if (!bNoting())
        return;
    const char *p = value + strspn(value, " \t\r\n\v\f");
    p += (*p == '+' || *p == '-') ? 1 : 0;
    size_t digits = strspn(p, "0123456789");
    const char *rest = p + digits;
    if (digits == 0) {
        vNote(SETTINGS_NOTE_WARNING, "%s value \"%s\" is not a number: it reads as 0 (%lld)", key,
              Shown(value).text, taken);
        return;
    }
    if (rest[strspn(rest, " \t\r\n")] != '\0')
        vNote(SETTINGS_NOTE_WARNING, "%s value \"%s\": the text after the number is ignored", key,
              Shown(value).text);
    errno = 0;
    long long raw = strtoll(value, nullptr, 10);
    if (errno == ERANGE || raw > INT_MAX || raw < INT_MIN)
        vNote(SETTINGS_NOTE_WARNING, "%s value \"%s\" is beyond the 32-bit range: taken as %lld",
              key, Shown(value).text, taken);
    else if (taken < lo || taken > hi)
        vNote(SETTINGS_NOTE_WARNING, "%s=%lld lies outside %lld to %lld: %s", key, taken, lo, hi,
              what);
}

// Notes a value that the line's further "=" cut short.
void vNoteSecondEquals(const char *line, const char *value) {
    if (!bNoting())
        return;
    const char *first = strchr(line, '=');
    const char *after = first + strspn(first, "=");
    if (strchr(after, '=') != nullptr)
        vNote(SETTINGS_NOTE_WARNING,
              "the line holds more than one \"=\": the value is only \"%s\", up to the second",
              Shown(value).text);
}

// The name before the first "=" of a line without a key of its section,
// and why the line was not taken.
void vNoteNotTaken(int section, const char *line) {
    if (!bNoting())
        return;
    const char *text = line + strspn(line, " \t\r\n");
    if (*text == '\0')
        return;
    const char *eq = strchr(line, '=');
    if (eq == nullptr) {
        if (*text == '[' && strchr(text, ']') != nullptr)
            vNote(SETTINGS_NOTE_WARNING, "\"%s\" is no section header: %s", Shown(text).text,
                  section == SEC_NONE ? "ignored" : "the section before it goes on");
        else
            vNote(SETTINGS_NOTE_WARNING, "no \"=\" in the line: ignored");
        return;
    }
    if (section == SEC_NONE) {
        vNote(SETTINGS_NOTE_WARNING, "before the first section header: ignored");
        return;
    }
    // The name: the last word before the "=", blanks before the "=" seen.
    const char *end = eq;
    while (end > line && (end[-1] == ' ' || end[-1] == '\t'))
        end--;
    bool blankBefore = end != eq;
    bool blankAfter = eq[1] == ' ' || eq[1] == '\t';
    const char *begin = end;
    while (begin > line && (isalnum(static_cast<unsigned char>(begin[-1])) || begin[-1] == '_'))
        begin--;
    char name[64];
    size_t n = static_cast<size_t>(end - begin) < sizeof name - 1 ? static_cast<size_t>(end - begin)
                                                                  : sizeof name - 1;
    memcpy(name, begin, n);
    name[n] = '\0';
    if (n == 0) {
        vNote(SETTINGS_NOTE_WARNING, "no key before the \"=\": ignored");
        return;
    }
    for (const KeyName &k : kKeyNames) {
        size_t len = strlen(k.name);
        bool exact = k.indexed ? strncmp(name, k.name, len) == 0 && name[len] != '\0' &&
                                     strspn(name + len, "0123456789") == strlen(name + len)
                               : strcmp(name, k.name) == 0;
        bool caseOnly = !exact && strcasecmp(name, k.name) == 0;
        if (caseOnly) {
            vNote(SETTINGS_NOTE_WARNING, "\"%s\": key names are upper case (%s): ignored", name,
                  k.name);
            return;
        }
        if (!exact)
            continue;
        if (k.section != section) {
            vNote(SETTINGS_NOTE_WARNING, "%s belongs to %s, not %s: ignored", name,
                  pcSectionName(k.section), pcSectionName(section));
        } else if (blankBefore) {
            vNote(SETTINGS_NOTE_WARNING,
                  "blanks around the key: \"%s =\" is no key (write %s=%s): "
                  "ignored",
                  name, name, blankAfter ? "value, without blanks" : "value");
        } else if (k.indexed) {
            long number = strtol(name + len, nullptr, 10);
            bool sense = k.section == SEC_AERROR;
            int entries = sense ? SENSE_KEY_ENTRIES : MBOARD_ENTRIES;
            if (number < 1 || number > entries)
                vNote(SETTINGS_NOTE_WARNING, "%s: the number must lie from 1 to %d: ignored", name,
                      entries);
            else
                vNote(SETTINGS_NOTE_WARNING,
                      "%s: ignored, %s is %d here (a count line must come before it)", name,
                      sense ? "AERROR_SENSE_COUNT" : "MCMR_COUNT",
                      sense ? g_iAErrorCnt : g_iMBoardCnt);
        }
        return;
    }
    vNote(SETTINGS_NOTE_WARNING, "unknown key \"%s\" in %s: ignored", Shown(name).text,
          pcSectionName(section));
}

// --- the reader ---

// The value of a key line: the second piece when the line is split at any of
// `delims` with empty pieces dropped. Returns false when the value is empty.
bool bValue(const char *line, const char *delims, char *out, size_t outSize) {
    const char *p = line + strspn(line, delims); // skip leading delimiters
    p += strcspn(p, delims);                     // first piece
    p += strspn(p, delims);                      // the run that ends it
    size_t len = strcspn(p, delims);             // second piece
    if (len == 0 || *p == '\r' || *p == '\n')
        return false;
    if (len >= outSize)
        len = outSize - 1;
    memcpy(out, p, len);
    out[len] = '\0';
    return true;
}

// strtol with base 10, saturated to the int range.
int iNumber(const char *value) {
    errno = 0;
    long v = strtol(value, nullptr, 10);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}

int iSwitch(const char *key, const char *value) {
    int on = strncmp(value, "ON", 2) == 0 ? 1 : 0;
    if (!on && strncmp(value, "OFF", 3) != 0)
        vNote(SETTINGS_NOTE_WARNING, "%s value \"%s\" is neither ON nor OFF: it reads as OFF", key,
              Shown(value).text);
    return on;
}

// Copies a text value cut at its first CR or LF into an entry of `size` bytes.
void vStoreText(char *entry, size_t size, const char *value) {
    size_t len = strcspn(value, "\r\n");
    if (len >= size)
        len = size - 1;
    memset(entry, 0, size);
    memcpy(entry, value, len);
}

// A number key's sensible range, and what a value beyond it does.
struct Range {
    long long lo, hi;
    const char *what;
};

// Applies a number key: empty values leave the setting unchanged (except for
// LWAIT_TIME, where empty reads as 0), 0 takes the substitution.
void vNumberKey(const char *line, const char *key, int *setting, int zeroGives, bool emptyIsZero,
                const Range &range) {
    char value[LINE_SIZE];
    int n;
    if (bValue(line, "=", value, sizeof value)) {
        n = iNumber(value);
        *setting = (n == 0) ? zeroGives : n;
        vNoteSecondEquals(line, value);
        vNoteNumber(key, value, *setting, range.lo, range.hi, range.what);
    } else if (emptyIsZero) {
        *setting = zeroGives;
        vNoteEmpty(key, "it reads as 0");
    } else {
        vNoteEmpty(key, "the setting is left as it was");
        return;
    }
    vNoteApplied(key);
}

void vSwitchKey(const char *line, const char *key, int *setting) {
    char value[LINE_SIZE];
    if (!bValue(line, "=", value, sizeof value)) {
        vNoteEmpty(key, "the setting is left as it was");
        return;
    }
    vNoteSecondEquals(line, value);
    *setting = iSwitch(key, value);
    vNoteApplied(key);
}

bool bHasKey(const char *line, const char *key) {
    return strstr(line, key) != nullptr;
}

// A path key: the whole rest of the line after the first "=". A value longer
// than the entry is cut, or with `tooLong` refused: the entry is emptied and
// the value's start kept in `tooLong`.
bool bPathKey(const char *line, const char *key, char (&entry)[LIB_NAME_SIZE], char *tooLong) {
    char value[LINE_SIZE];
    if (!bHasKey(line, key))
        return false;
    char name[32];
    snprintf(name, sizeof name, "%.*s", static_cast<int>(strlen(key) - 1), key);
    if (!bValue(line, "=\r\n", value, sizeof value)) {
        vNoteEmpty(name, "the setting is left as it was");
        return true;
    }
    vNoteSecondEquals(line, value);
    bool fits = strlen(value) < LIB_NAME_SIZE;
    if (!fits && tooLong != nullptr) {
        memset(entry, 0, LIB_NAME_SIZE);
        vStoreText(tooLong, LIB_NAME_SIZE, value);
        vNote(SETTINGS_NOTE_ERROR, "%s is longer than %d characters: refused, the setting is off",
              name, LIB_NAME_SIZE - 1);
    } else {
        vStoreText(entry, LIB_NAME_SIZE, value);
        if (tooLong != nullptr)
            tooLong[0] = '\0';
        if (!fits)
            vNote(SETTINGS_NOTE_WARNING, "%s is longer than %d characters: cut to them", name,
                  LIB_NAME_SIZE - 1);
    }
    vNoteApplied(name);
    return true;
}

// Searches for "<prefix><n>=" with n from 1 to min(count, entries); returns the
// n found or 0.
int iIndexedKey(const char *line, const char *prefix, int count, int entries) {
    int last = count < entries ? count : entries;
    for (int n = 1; n <= last; n++) {
        char key[64];
        snprintf(key, sizeof key, "%s%d=", prefix, n);
        if (bHasKey(line, key))
            return n;
    }
    return 0;
}

// A text entry of a list: cut to its size; blanks at either end never match.
void vTextKey(const char *line, const char *prefix, int n, char *entry, size_t size) {
    char value[LINE_SIZE];
    char key[64];
    snprintf(key, sizeof key, "%s%d", prefix, n);
    if (!bValue(line, "=", value, sizeof value)) {
        vNoteEmpty(key, "the entry is left as it was");
        return;
    }
    vNoteSecondEquals(line, value);
    vStoreText(entry, size, value);
    vNoteApplied(key);
    if (!bNoting())
        return;
    size_t len = strcspn(value, "\r\n");
    if (len >= size)
        vNote(SETTINGS_NOTE_WARNING, "%s is longer than %zu characters: cut to \"%s\"", key,
              size - 1, Shown(entry).text);
    size_t kept = strlen(entry);
    if (kept > 0 &&
        (entry[0] == ' ' || entry[0] == '\t' || entry[kept - 1] == ' ' || entry[kept - 1] == '\t'))
        vNote(SETTINGS_NOTE_WARNING,
              "%s \"%s\" begins or ends with blanks, which are part of it: it matches only "
              "with them",
              key, Shown(entry).text);
    if (size == SENSE_KEY_SIZE && strcasecmp(entry, "ALL") != 0 &&
        strspn(entry, "0123456789abcdefABCDEF") != kept)
        vNote(SETTINGS_NOTE_WARNING,
              "%s \"%s\" is neither ALL nor hexadecimal: it matches no sense code", key,
              Shown(entry).text);
}

void vMcModeKey(const char *line) {
    char value[LINE_SIZE];
    if (!bValue(line, "=", value, sizeof value)) {
        vNoteEmpty("MC_MODE", "the setting is left as it was");
        return;
    }
    vNoteSecondEquals(line, value);
    g_iMErrMode = iSwitch("MC_MODE", value);
    vNoteApplied("MC_MODE");
    if (g_iMErrMode != 1)
        return;
    int divisor = g_iLWaitTime / 1000;
    if (divisor == 0) {
        vNote(SETTINGS_NOTE_WARNING,
              "MC_MODE=ON with LWAIT_TIME below 1000 has no window in cycles: it stays %d",
              g_iMcTblDiff);
        return; // a cycle shorter than one second has no window in cycles
    }
    long long window = static_cast<long long>(g_iThresholdTime) / divisor;
    if (window > INT_MAX)
        window = INT_MAX; // INT_MIN / -1
    g_iMcTblDiff = static_cast<int>(window);
    if (window < 1)
        vNote(SETTINGS_NOTE_WARNING,
              "MC_MODE=ON: the MEDIUM window is %lld cycles (%d s / %d s), so MEDIUM time mode "
              "never removes a drive; give [WAIT] and [THRESHOLD] before [MEDIUM]",
              window, g_iThresholdTime, divisor);
    else if (window >= 1024)
        vNote(SETTINGS_NOTE_WARNING,
              "MC_MODE=ON: the MEDIUM window is %lld cycles, more than the 1024 samples a drive "
              "keeps: the oldest is used",
              window);
}

void vThresholdTimeKey(const char *line) {
    char value[LINE_SIZE];
    if (!bValue(line, "=", value, sizeof value)) {
        vNoteEmpty("THRESHOLD_TIME", "the setting is left as it was");
        return;
    }
    vNoteSecondEquals(line, value);
    long long minutes = iNumber(value);
    if (minutes == 0)
        minutes = 5;
    long long seconds = minutes * 60;
    g_iThresholdTime = seconds > INT_MAX   ? INT_MAX
                       : seconds < INT_MIN ? INT_MIN
                                           : static_cast<int>(seconds);
    vNoteNumber("THRESHOLD_TIME", value, minutes, 1, 1440,
                "a window of minutes, up to a day, is what the key is for");
    vNoteApplied("THRESHOLD_TIME");
}

void vThresholdModeKey(const char *line) {
    char value[LINE_SIZE];
    if (!bValue(line, "=", value, sizeof value)) {
        vNoteEmpty("THRESHOLD_MODE", "the setting is left as it was");
        return;
    }
    vNoteSecondEquals(line, value);
    g_iThresholdMode = strncmp(value, "TIME", 4) == 0 ? 1 : 0;
    if (g_iThresholdMode == 0 && strncmp(value, "COUNT", 5) != 0)
        vNote(SETTINGS_NOTE_WARNING,
              "THRESHOLD_MODE value \"%s\" is neither TIME nor COUNT: it reads as COUNT",
              Shown(value).text);
    vNoteApplied("THRESHOLD_MODE");
}

// A safety switch: only OBSERVE... and REMOVE... are understood; anything else
// present means observe mode, the cautious one.
void vActionModeKey(const char *line) {
    char value[LINE_SIZE];
    if (!bValue(line, "=", value, sizeof value)) {
        vNoteEmpty("ACTION_MODE", "as if it were not there");
        return;
    }
    vNoteSecondEquals(line, value);
    g_cActionModeUnknown[0] = '\0';
    if (strncmp(value, "OBSERVE", 7) == 0) {
        g_iActionMode = ACTION_OBSERVE;
    } else if (strncmp(value, "REMOVE", 6) == 0) {
        g_iActionMode = ACTION_REMOVE;
    } else {
        g_iActionMode = ACTION_OBSERVE;
        vStoreText(g_cActionModeUnknown, sizeof g_cActionModeUnknown, value);
        for (char &c : g_cActionModeUnknown)
            c = (c != '\0' && static_cast<unsigned char>(c) < 0x20) ? '?' : c; // for the log line
        vNote(SETTINGS_NOTE_WARNING,
              "ACTION_MODE value \"%s\" is neither OBSERVE nor REMOVE: observe mode, no drive "
              "is removed",
              Shown(value).text);
    }
    vNoteApplied("ACTION_MODE");
}

const Range kLWaitRange{1000, 3600000,
                        "below 1000 there is no pause, above an hour drives go unwatched long"};
const Range kCountRange{1, 65535, "the threshold is taken as read"};
const Range kSenseCountRange{1, SENSE_KEY_ENTRIES, "entries beyond 100 are ignored"};
const Range kModelCountRange{0, MBOARD_ENTRIES, "entries beyond 10 are ignored"};
const Range kHistoryRange{1, 1000, "below 1 keeps one file per drive"};

// Applies the first key of the section's order found in the line; false when
// the line holds none.
bool bSectionLine(int section, const char *line) {
    int n;
    switch (section) {
    case SEC_WAIT:
        if (!bHasKey(line, "LWAIT_TIME="))
            return false;
        vNumberKey(line, "LWAIT_TIME", &g_iLWaitTime, 6000, true, kLWaitRange);
        return true;
    case SEC_APPLOG:
        if (!bHasKey(line, "APPLOG_SWITCH="))
            return false;
        vSwitchKey(line, "APPLOG_SWITCH", &g_iAppLogSwitch);
        return true;
    case SEC_PFSERVLOG:
        if (!bHasKey(line, "PFSERVLOG_SWITCH="))
            return false;
        vSwitchKey(line, "PFSERVLOG_SWITCH", &g_iPreServLogSwitch);
        return true;
    case SEC_THRESHOLD:
        if (bHasKey(line, "THRESHOLD_MODE="))
            vThresholdModeKey(line);
        else if (bHasKey(line, "THRESHOLD_TIME="))
            vThresholdTimeKey(line);
        else
            return false;
        return true;
    case SEC_POLL:
        if (!bHasKey(line, "POLL_EVENT="))
            return false;
        vSwitchKey(line, "POLL_EVENT", &g_iPollEvent);
        return true;
    case SEC_SMART:
        if (!bHasKey(line, "SMART_MODE="))
            return false;
        vSwitchKey(line, "SMART_MODE", &g_iSmartMode);
        return true;
    case SEC_AERROR:
        if (bHasKey(line, "AERROR_MODE="))
            vSwitchKey(line, "AERROR_MODE", &g_iAErrorMode);
        else if (bHasKey(line, "AERROR_SENSE_COUNT="))
            vNumberKey(line, "AERROR_SENSE_COUNT", &g_iAErrorCnt, 1, false, kSenseCountRange);
        else if ((n = iIndexedKey(line, "AERROR_SENSE_KEY", g_iAErrorCnt, SENSE_KEY_ENTRIES)))
            vTextKey(line, "AERROR_SENSE_KEY", n, g_cAErrSenseKey[n - 1], SENSE_KEY_SIZE);
        else if (bHasKey(line, "AERROR_COUNT_HDD="))
            vNumberKey(line, "AERROR_COUNT_HDD", &g_iAErrorCntHDD, 20, false, kCountRange);
        else if (bHasKey(line, "AERROR_COUNT_SSD="))
            vNumberKey(line, "AERROR_COUNT_SSD", &g_iAErrorCntSSD, 30, false, kCountRange);
        else
            return false;
        return true;
    case SEC_MEDIUM:
        if (bHasKey(line, "MC_MODE="))
            vMcModeKey(line);
        else if (bHasKey(line, "MCMR_COUNT="))
            vNumberKey(line, "MCMR_COUNT", &g_iMBoardCnt, 0, false, kModelCountRange);
        else if ((n = iIndexedKey(line, "MCMR_NAME", g_iMBoardCnt, MBOARD_ENTRIES)))
            vTextKey(line, "MCMR_NAME", n, g_cMBoardName[n - 1], MBOARD_NAME_SIZE);
        else
            return false;
        return true;
    case SEC_HISTORY:
        if (!bHasKey(line, "HISTORY_COUNT="))
            return false;
        vNumberKey(line, "HISTORY_COUNT", &g_iHistoryCnt, 7, false, kHistoryRange);
        return true;
    case SEC_LIB:
        return bPathKey(line, "LIBPATH=", g_cLibFileName, nullptr);
    case SEC_NOTIFY:
        return bPathKey(line, "NOTIFY_PROGRAM=", g_cNotifyProgram, g_cNotifyProgramTooLong);
    case SEC_METRICS:
        return bPathKey(line, "METRICS_FILE=", g_cMetricsFile, g_cMetricsFileTooLong);
    case SEC_ACTION:
        if (!bHasKey(line, "ACTION_MODE="))
            return false;
        vActionModeKey(line);
        return true;
    default:
        return false;
    }
}

// A header line: its section, noting what else the line holds.
int iHeader(const char *line) {
    for (int s = 0; s < SECTION_COUNT; s++) {
        const char *at = strstr(line, kHeaders[s]);
        if (at == nullptr)
            continue;
        if (bNoting()) {
            const char *after = at + strlen(kHeaders[s]);
            bool before = static_cast<size_t>(at - line) != strspn(line, " \t");
            if (before || after[strspn(after, " \t\r\n")] != '\0')
                vNote(SETTINGS_NOTE_WARNING,
                      "a section header line: only %s is taken, the rest of the line is ignored",
                      kHeaders[s]);
        }
        return s;
    }
    return SEC_NONE;
}

// Lines that the first character marks as ignored: comments pass in silence,
// a blank or TAB before text is worth a word.
bool bMarkedIgnored(const char *line) {
    if (line[0] == '\0' || strchr("#/ \t\r\n", line[0]) == nullptr)
        return false;
    if (line[0] == ' ' || line[0] == '\t') {
        const char *text = line + strspn(line, " \t\r\n");
        if (*text != '\0' && *text != '#' && *text != '/')
            vNote(SETTINGS_NOTE_WARNING, "the line starts with a blank or a TAB: ignored");
    }
    return true;
}

} // namespace

int iIniFileRead() {
    char path[MODULE_FILE_PATH_SIZE];
    vModuleFilePath(path, INI_FILE_NAME);
    return iIniFileReadPath(path, nullptr);
}

int iIniFileReadPath(const char *path, const SettingsNotes *notes) {
    g_iAErrorCnt = 1;
    memset(g_cAErrSenseKey, 0, sizeof g_cAErrSenseKey);
    memset(g_cLibFileName, 0, sizeof g_cLibFileName);
    memset(g_cNotifyProgram, 0, sizeof g_cNotifyProgram);
    memset(g_cMetricsFile, 0, sizeof g_cMetricsFile);
    memset(g_cNotifyProgramTooLong, 0, sizeof g_cNotifyProgramTooLong);
    memset(g_cMetricsFileTooLong, 0, sizeof g_cMetricsFileTooLong);
    memset(g_cActionModeUnknown, 0, sizeof g_cActionModeUnknown);

    g_notes.sink = notes;
    g_notes.line = 0;
    g_notes.appliedCount = 0;
    FilePtr file(pOpenRegularFile(path, "r"));
    if (!file) {
        int err = errno;
        vNote(SETTINGS_NOTE_ERROR, "cannot be opened: %s",
              err == EINVAL ? "not a regular file" : strerror(err));
        g_notes.sink = nullptr;
        return err == EINVAL ? -1 : 0;
    }

    int section = SEC_NONE;
    char line[LINE_SIZE];
    bool continued = false; // the piece goes on a line longer than 511 bytes
    while (fgets(line, sizeof line, file.get()) != nullptr) {
        size_t len = strlen(line);
        if (!continued)
            g_notes.line++;
        bool complete = len == 0 || line[len - 1] == '\n' || len < sizeof line - 1;
        if (!complete && !continued)
            vNote(SETTINGS_NOTE_WARNING,
                  "longer than %d bytes: each further %d bytes are read as a line of their own",
                  LINE_SIZE - 1, LINE_SIZE - 1);
        continued = !complete;
        if (bMarkedIgnored(line))
            continue;
        int header = iHeader(line);
        if (header != SEC_NONE) {
            section = header;
            continue;
        }
        if (section == SEC_NONE || !bSectionLine(section, line))
            vNoteNotTaken(section, line);
    }

    if (g_cLibFileName[0] == '\0')
        snprintf(g_cLibFileName, sizeof g_cLibFileName, "%s", DEFAULT_LIB_NAME);
    g_notes.sink = nullptr;
    return 1;
}
