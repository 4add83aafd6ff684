// Readers for the files the tests look at: the shim's syslog records and the
// daemon's time-stamped log lines. Header-only, shared by the unit tests and
// the end-to-end harness.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace kt {

// One syslog call as the shim recorded it (format described in shim.c).
struct SyslogRecord {
    std::string ident; // identity of the last openlog ("" if none was made)
    int option = -1;   // options of the last openlog
    int facility = -1; // facility of the last openlog
    int priority = -1; // priority passed to syslog, as passed
    bool open = false; // openlog made and not yet closed at the time of the call
    std::string text;  // formatted text
};

// One line of PredictiveFailure.log, its time stamp split from the message.
struct LogLine {
    std::string raw;      // the whole line without its LF
    std::string stamp;    // "YYYY/MM/DD hh:mm:ss" (the first 19 characters)
    std::string text;     // everything after the stamp and its blank
    bool stampOk = false; // stamp well formed, fields in range, one blank after it
};

inline std::string unescape(const std::string &s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            char c = s[++i];
            out += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 's' ? ' ' : c;
        } else {
            out += s[i];
        }
    }
    return out;
}

// Parses one record line; false if it does not have the shim's layout.
inline bool parseSyslogRecord(const std::string &line, SyslogRecord &rec) {
    static const char *const keys[] = {
        "ident=", " option=", " facility=", " priority=", " open=", " text="};
    size_t pos[6];
    size_t from = 0;
    for (int i = 0; i < 6; ++i) {
        pos[i] = line.find(keys[i], from);
        if (pos[i] == std::string::npos || (i == 0 && pos[i] != 0))
            return false;
        from = pos[i] + std::char_traits<char>::length(keys[i]);
    }
    auto field = [&](int i) {
        size_t b = pos[i] + std::char_traits<char>::length(keys[i]);
        size_t e = i < 5 ? pos[i + 1] : line.size();
        return line.substr(b, e - b);
    };
    rec.ident = unescape(field(0));
    rec.option = std::atoi(field(1).c_str());
    rec.facility = std::atoi(field(2).c_str());
    rec.priority = std::atoi(field(3).c_str());
    rec.open = field(4) == "1";
    rec.text = unescape(field(5));
    return true;
}

// Every line of a file, without line ends (a CR before the LF is kept).
// A missing file reads as no lines.
inline std::vector<std::string> readLines(const std::string &path) {
    std::vector<std::string> lines;
    std::unique_ptr<FILE, int (*)(FILE *)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!f)
        return lines;
    std::string cur;
    bool any = false;
    for (int c; (c = std::fgetc(f.get())) != EOF;) {
        any = true;
        if (c == '\n') {
            lines.push_back(cur);
            cur.clear();
            any = false;
        } else {
            cur += static_cast<char>(c);
        }
    }
    if (any)
        lines.push_back(cur);
    return lines;
}

inline std::string readText(const std::string &path) {
    std::string out;
    std::unique_ptr<FILE, int (*)(FILE *)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!f)
        return out;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f.get())) > 0;)
        out.append(buf, n);
    return out;
}

inline std::vector<SyslogRecord> readSyslogRecords(const std::string &path) {
    std::vector<SyslogRecord> out;
    for (const auto &line : readLines(path)) {
        SyslogRecord rec;
        if (parseSyslogRecord(line, rec))
            out.push_back(rec);
    }
    return out;
}

inline LogLine splitLogLine(const std::string &line) {
    LogLine l;
    l.raw = line;
    if (line.size() < 20) {
        l.text = line;
        return l;
    }
    l.stamp = line.substr(0, 19);
    l.text = line.substr(20);
    const std::string &s = l.stamp;
    auto digits = [&](size_t b, size_t n) {
        for (size_t i = b; i < b + n; ++i)
            if (s[i] < '0' || s[i] > '9')
                return -1;
        return std::atoi(s.substr(b, n).c_str());
    };
    int y = digits(0, 4), mo = digits(5, 2), d = digits(8, 2);
    int h = digits(11, 2), mi = digits(14, 2), se = digits(17, 2);
    l.stampOk = s[4] == '/' && s[7] == '/' && s[10] == ' ' && s[13] == ':' && s[16] == ':' &&
                line[19] == ' ' && y >= 1970 && mo >= 1 && mo <= 12 && d >= 1 && d <= 31 &&
                h >= 0 && h <= 23 && mi >= 0 && mi <= 59 && se >= 0 && se <= 60;
    return l;
}

inline std::vector<LogLine> readLogLines(const std::string &path) {
    std::vector<LogLine> out;
    for (const auto &line : readLines(path))
        out.push_back(splitLogLine(line));
    return out;
}

} // namespace kt
