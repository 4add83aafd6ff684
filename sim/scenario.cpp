// Scenario grammar: one statement per line, `keyword key=value ...`, values
// quoted with "..." when they hold spaces, `#` starts a comment. The same
// grammar serves the scenario file, `.add` files and timeline entries.
#include "sim_model.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>

namespace kestrun_sim {

namespace {

const char *const kCmdNames[CMD_SLOTS] = {
    "ctrlsearch", "ctrlinfo", "pdlist", "pdinfo",     "rebuildcancel", "dhotinfo", "removespare",
    "vdno",       "setstate", "ldinfo", "evtseqinfo", "evtlist",       "any",
};

struct NamedValue {
    const char *name;
    uint8_t value;
};
const NamedValue kDriveStates[] = {
    {"ugood", DS_UGOOD},   {"ubad", DS_UBAD},       {"spare", DS_SPARE},
    {"failed", DS_FAILED}, {"rebuild", DS_REBUILD}, {"online", DS_ONLINE},
};
const NamedValue kLdStates[] = {
    {"offline", LS_OFFLINE},
    {"partial", LS_PARTIAL},
    {"degraded", LS_DEGRADED},
    {"optimal", LS_OPTIMAL},
};
const char *const kFields[] = {"ctrlcount", "pdcount", "ldcount", "arraycount", "eventcount"};

struct Tok {
    std::string key;   // empty for a bare word
    std::string value; // bare word, or the text after '='
    bool hasEq = false;
    size_t begin = 0, end = 0; // span in the line
};

bool tokenize(const std::string &s, std::vector<Tok> &out, std::string &err) {
    size_t i = 0, n = s.size();
    for (;;) {
        while (i < n && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r'))
            i++;
        if (i >= n || s[i] == '#')
            return true;
        Tok t;
        t.begin = i;
        std::string cur;
        bool quoted = false;
        while (i < n) {
            char c = s[i];
            if (quoted) {
                if (c == '\\' && i + 1 < n) {
                    cur += s[i + 1];
                    i += 2;
                    continue;
                }
                if (c == '"')
                    quoted = false;
                else
                    cur += c;
                i++;
                continue;
            }
            if (c == ' ' || c == '\t' || c == '\r' || c == '#')
                break;
            if (c == '"') {
                quoted = true;
            } else if (c == '=' && !t.hasEq) {
                t.hasEq = true;
                t.key = cur;
                cur.clear();
            } else {
                cur += c;
            }
            i++;
        }
        if (quoted) {
            err = "unterminated quote";
            return false;
        }
        if (t.hasEq && t.key.empty()) {
            err = "'=' without a key";
            return false;
        }
        t.value = cur;
        t.end = i;
        out.push_back(std::move(t));
    }
}

bool parseNum(const std::string &v, uint64_t max, uint64_t &out) {
    if (v.empty())
        return false;
    size_t i = 0;
    int base = 10;
    if (v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) {
        base = 16;
        i = 2;
    }
    uint64_t r = 0;
    for (; i < v.size(); i++) {
        char c = v[i];
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        if (r > (max - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base))
            return false;
        r = r * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    }
    out = r;
    return true;
}

// Keyword arguments of one line; every key must be consumed exactly once.
class Args {
  public:
    Args(const std::vector<Tok> &toks, size_t from, std::string &err) : err_(err) {
        for (size_t i = from; i < toks.size(); i++) {
            if (toks[i].hasEq)
                kv_.push_back(&toks[i]);
            else
                bare_.push_back(&toks[i]);
        }
        used_.assign(kv_.size(), false);
    }

    bool duplicates() {
        for (size_t i = 0; i < kv_.size(); i++)
            for (size_t j = i + 1; j < kv_.size(); j++)
                if (kv_[i]->key == kv_[j]->key)
                    return fail("duplicate key '" + kv_[i]->key + "'");
        return false;
    }

    const std::vector<const Tok *> &bare() const {
        return bare_;
    }

    const std::string *str(const char *key) {
        for (size_t i = 0; i < kv_.size(); i++)
            if (kv_[i]->key == key) {
                used_[i] = true;
                return &kv_[i]->value;
            }
        return nullptr;
    }

    // Optional number; false only on a malformed value.
    bool num(const char *key, uint64_t max, uint64_t &out, bool &has) {
        const std::string *v = str(key);
        has = v != nullptr;
        if (!v)
            return true;
        if (!parseNum(*v, max, out))
            return !fail(std::string("bad value for ") + key + ": '" + *v + "' (0.." +
                         std::to_string(max) + ")");
        return true;
    }

    bool required(const char *key, uint64_t max, uint64_t &out) {
        bool has = false;
        if (!num(key, max, out, has))
            return false;
        if (!has)
            return !fail(std::string("missing ") + key + "=");
        return true;
    }

    // A state given by name or number.
    bool state(const char *key, const NamedValue *names, size_t count, uint8_t &out, bool &has) {
        const std::string *v = str(key);
        has = v != nullptr;
        if (!v)
            return true;
        for (size_t i = 0; i < count; i++)
            if (*v == names[i].name) {
                out = names[i].value;
                return true;
            }
        uint64_t n = 0;
        if (!parseNum(*v, 255, n))
            return !fail(std::string("bad value for ") + key + ": '" + *v + "'");
        out = static_cast<uint8_t>(n);
        return true;
    }

    bool list(const char *key, uint64_t max, size_t room, std::vector<uint16_t> &out, bool &has) {
        const std::string *v = str(key);
        has = v != nullptr;
        if (!v)
            return true;
        out.clear();
        size_t pos = 0;
        while (pos < v->size()) {
            size_t comma = v->find(',', pos);
            if (comma == std::string::npos)
                comma = v->size();
            uint64_t n = 0;
            if (!parseNum(v->substr(pos, comma - pos), max, n))
                return !fail(std::string("bad list for ") + key + ": '" + *v + "'");
            out.push_back(static_cast<uint16_t>(n));
            pos = comma + 1;
        }
        if (out.size() > room)
            return !fail(std::string("too many entries in ") + key + " (room " +
                         std::to_string(room) + ")");
        return true;
    }

    bool cmd(int &out, bool &has) {
        const std::string *v = str("cmd");
        has = v != nullptr;
        if (!v)
            return true;
        out = cmdByName(*v);
        if (out < 0)
            return !fail("unknown command '" + *v + "'");
        return true;
    }

    // times=K or times=always (the default).
    bool times(int64_t &out) {
        const std::string *v = str("times");
        out = -1;
        if (!v || *v == "always")
            return true;
        uint64_t n = 0;
        if (!parseNum(*v, 0x7fffffff, n))
            return !fail("bad value for times: '" + *v + "'");
        out = static_cast<int64_t>(n);
        return true;
    }

    // Optional c= and id= filters, -1 when absent.
    bool filters(int &ctrl, int &dev) {
        uint64_t v = 0;
        bool has = false;
        if (!num("c", kMaxControllers - 1, v, has))
            return false;
        ctrl = has ? static_cast<int>(v) : -1;
        if (!num("id", kNoDevice - 1, v, has))
            return false;
        dev = has ? static_cast<int>(v) : -1;
        return true;
    }

    bool finish() {
        for (size_t i = 0; i < kv_.size(); i++)
            if (!used_[i])
                return !fail("unknown key '" + kv_[i]->key + "'");
        return true;
    }

    bool fail(const std::string &msg) {
        err_ = msg;
        return true;
    }

  private:
    std::vector<const Tok *> kv_;
    std::vector<const Tok *> bare_;
    std::vector<bool> used_;
    std::string &err_;
};

Controller *controllerOf(Scenario *st, uint64_t c, std::string &err) {
    if (c >= st->ctrls.size()) {
        err = "no controller " + std::to_string(c);
        return nullptr;
    }
    return &st->ctrls[c];
}

bool applyController(Scenario *st, Args &a, std::string &err) {
    if (a.bare().size() != 1) {
        err = "expected: controller <index> model=\"...\"";
        return false;
    }
    uint64_t index = 0, newest = 0;
    bool hasNewest = false;
    if (!parseNum(a.bare()[0]->value, kMaxControllers - 1, index)) {
        err = "bad controller index '" + a.bare()[0]->value + "' (0.." +
              std::to_string(kMaxControllers - 1) + ")";
        return false;
    }
    const std::string *model = a.str("model");
    if (model && model->size() > kMaxModel) {
        err = "model longer than " + std::to_string(kMaxModel) + " bytes";
        return false;
    }
    const std::string *newestText = a.str("newest");
    if (newestText && *newestText != "auto") {
        if (!parseNum(*newestText, 0xffffffffu, newest)) {
            err = "bad value for newest: '" + *newestText + "'";
            return false;
        }
        hasNewest = true;
    }
    const std::string *empty = a.str("empty");
    if (empty && *empty != "35" && *empty != "ok") {
        err = "bad value for empty: '" + *empty + "' (35 or ok)";
        return false;
    }
    if (!a.finish())
        return false;
    if (!st)
        return true;
    if (index > st->ctrls.size()) {
        err = "controllers must be declared in order; next is " + std::to_string(st->ctrls.size());
        return false;
    }
    if (index == st->ctrls.size()) {
        st->ctrls.emplace_back();
        st->ctrls.back().slot.assign(65536, kNoSlot);
    }
    Controller &c = st->ctrls[index];
    if (model)
        c.model = *model;
    if (empty)
        c.emptyOk = *empty == "ok";
    if (newestText) {
        c.newestSet = hasNewest;
        c.newest = static_cast<uint32_t>(newest);
    }
    return true;
}

bool applyDrive(Scenario *st, Args &a, std::string &err) {
    uint64_t c = 0, id = 0, seq = 0, type = 0, media = 0, merr = 0, pfail = 0;
    uint64_t sas = 0, sas2 = 0, enclosure = 0, slotNumber = 0;
    bool hasSeq, hasType, hasMedia, hasMerr, hasPfail, hasState, hasSas, hasSas2, hasEnclosure,
        hasSlot;
    uint8_t state = 0;
    if (!a.required("c", kMaxControllers - 1, c) || !a.required("id", kNoDevice - 1, id) ||
        !a.num("seq", 0xffff, seq, hasSeq) || !a.num("type", 0xff, type, hasType) ||
        !a.num("media", 0xff, media, hasMedia) || !a.num("merr", 0xffffffffu, merr, hasMerr) ||
        !a.num("pfail", 0xffffffffu, pfail, hasPfail) ||
        !a.state("state", kDriveStates, std::size(kDriveStates), state, hasState) ||
        !a.num("sas", UINT64_MAX, sas, hasSas) || !a.num("sas2", UINT64_MAX, sas2, hasSas2) ||
        !a.num("enclosure", 0xffff, enclosure, hasEnclosure) ||
        !a.num("slot", 0xff, slotNumber, hasSlot))
        return false;
    const std::string *inquiry = a.str("inquiry");
    if (inquiry && inquiry->size() > kMaxInquiry) {
        err = "inquiry longer than " + std::to_string(kMaxInquiry) + " bytes";
        return false;
    }
    const std::string *release = a.str("release");
    if (release && *release != "ugood" && *release != "failed") {
        err = "release must be ugood or failed";
        return false;
    }
    if (!a.finish())
        return false;
    if (!st)
        return true;
    Controller *ct = controllerOf(st, c, err);
    if (!ct)
        return false;
    Drive *d = ct->find(static_cast<uint16_t>(id));
    if (!d) {
        if (ct->drives.size() >= kMaxDrives) {
            err = "more than " + std::to_string(kMaxDrives) + " drives on controller " +
                  std::to_string(c);
            return false;
        }
        ct->drives.emplace_back();
        ct->slot[id] = static_cast<uint16_t>(ct->drives.size() - 1);
        d = &ct->drives.back();
        d->id = static_cast<uint16_t>(id);
        // The identity every drive reports unless told otherwise, made once
        // here rather than at every read.
        char text[48];
        snprintf(text, sizeof text, "VENDORX MODEL-4000      0004 SN%02u%06u",
                 static_cast<unsigned>(c % 100), static_cast<unsigned>(id));
        d->inquiryBytes = text;
        d->inquiryBytes.resize(kMaxInquiry, ' ');
        d->sas = 0x500a0b1c00000000ull | (c << 16) | id;
        d->enclosure = static_cast<uint16_t>(252 + c % 4);
        d->slotNumber = static_cast<uint8_t>(id & 0xff);
    }
    if (hasSeq)
        d->seq = static_cast<uint16_t>(seq);
    if (hasType)
        d->type = static_cast<uint8_t>(type);
    if (hasMedia)
        d->media = static_cast<uint8_t>(media);
    if (hasMerr)
        d->merr = static_cast<uint32_t>(merr);
    if (hasPfail)
        d->pfail = static_cast<uint32_t>(pfail);
    if (hasState) {
        d->state = state;
        if (state != DS_SPARE) {
            d->dedicated = false;
            d->spareGroups.clear();
        }
    }
    if (release)
        d->releaseUgood = *release == "ugood";
    if (inquiry) {
        d->hasInquiry = true;
        d->inquiry = *inquiry;
        d->inquiryBytes = *inquiry;
        d->inquiryBytes.resize(kMaxInquiry, ' ');
    }
    if (hasSas) {
        d->hasSas = true;
        d->sas = sas;
    }
    if (hasSas2) {
        d->hasSas2 = true;
        d->sas2 = sas2;
    }
    if (hasEnclosure) {
        d->hasEnclosure = true;
        d->enclosure = static_cast<uint16_t>(enclosure);
    }
    if (hasSlot) {
        d->hasSlot = true;
        d->slotNumber = static_cast<uint8_t>(slotNumber);
    }
    return true;
}

bool applyRemove(Scenario *st, Args &a, std::string &err) {
    uint64_t c = 0, id = 0;
    if (!a.required("c", kMaxControllers - 1, c) || !a.required("id", kNoDevice - 1, id) ||
        !a.finish())
        return false;
    if (!st)
        return true;
    Controller *ct = controllerOf(st, c, err);
    if (!ct)
        return false;
    uint16_t s = ct->slot[id];
    if (s == kNoSlot) {
        err = "no drive " + std::to_string(id) + " on controller " + std::to_string(c);
        return false;
    }
    ct->drives.erase(ct->drives.begin() + s);
    ct->reindex();
    return true;
}

bool applyLd(Scenario *st, Args &a, std::string &err) {
    uint64_t c = 0, n = 0, raid = 0;
    bool hasRaid, hasState, hasMembers;
    uint8_t state = LS_OPTIMAL;
    std::vector<uint16_t> members;
    if (!a.required("c", kMaxControllers - 1, c) || !a.required("n", 255, n) ||
        !a.num("raid", 10, raid, hasRaid) ||
        !a.state("state", kLdStates, std::size(kLdStates), state, hasState) ||
        !a.list("members", kNoDevice - 1, kMaxMembers, members, hasMembers) || !a.finish())
        return false;
    if (hasRaid && raid != 0 && raid != 1 && raid != 5 && raid != 6 && raid != 10) {
        err = "raid must be 0, 1, 5, 6 or 10";
        return false;
    }
    if (!st)
        return true;
    Controller *ct = controllerOf(st, c, err);
    if (!ct)
        return false;
    Ld *ld = ct->findLd(static_cast<uint8_t>(n));
    if (!ld) {
        if (!hasRaid) {
            err = "new logical drive needs raid=";
            return false;
        }
        Ld fresh;
        fresh.number = static_cast<uint8_t>(n);
        auto pos = std::lower_bound(ct->lds.begin(), ct->lds.end(), fresh.number,
                                    [](const Ld &l, uint8_t v) { return l.number < v; });
        ld = &*ct->lds.insert(pos, fresh);
    }
    if (hasRaid)
        ld->raid = static_cast<uint8_t>(raid);
    if (hasState)
        ld->state = state;
    if (hasMembers)
        ld->members = members;
    return true;
}

bool applySpare(Scenario *st, Args &a, std::string &err) {
    uint64_t c = 0, id = 0;
    bool hasGroups;
    std::vector<uint16_t> groups;
    if (!a.required("c", kMaxControllers - 1, c) || !a.required("id", kNoDevice - 1, id) ||
        !a.list("groups", 0xffff, kMaxSpareGroups, groups, hasGroups))
        return false;
    const std::string *role = a.str("role");
    if (!a.finish())
        return false;
    bool dedicated = role && *role == "dedicated";
    if (!role || (!dedicated && *role != "global")) {
        err = "spare needs role=dedicated or role=global";
        return false;
    }
    if (dedicated && groups.empty()) {
        err = "dedicated spare needs groups=";
        return false;
    }
    if (!dedicated && hasGroups) {
        err = "a global spare takes no groups";
        return false;
    }
    if (!st)
        return true;
    Controller *ct = controllerOf(st, c, err);
    if (!ct)
        return false;
    Drive *d = ct->find(static_cast<uint16_t>(id));
    if (!d) {
        err = "no drive " + std::to_string(id) + " on controller " + std::to_string(c);
        return false;
    }
    d->state = DS_SPARE;
    d->dedicated = dedicated;
    d->spareGroups = groups;
    return true;
}

bool applyEvent(Scenario *st, Args &a, std::string &err) {
    uint64_t c = 0, seq = 0, time = 0, code = 0, dev = kNoDevice, key = 0, asc = 0, ascq = 0;
    bool hasTime, hasCode, hasDev, hasKey, hasAsc, hasAscq;
    if (!a.required("c", kMaxControllers - 1, c) || !a.required("seq", 0xffffffffu, seq) ||
        !a.num("time", 0xffffffffu, time, hasTime) || !a.num("code", 0xffff, code, hasCode) ||
        !a.num("dev", 0xffff, dev, hasDev) || !a.num("key", 0xff, key, hasKey) ||
        !a.num("asc", 0xff, asc, hasAsc) || !a.num("ascq", 0xff, ascq, hasAscq))
        return false;
    const std::string *desc = a.str("desc");
    if (!a.finish())
        return false;
    if (desc && desc->size() > kMaxDesc) {
        err = "desc longer than " + std::to_string(kMaxDesc) + " bytes";
        return false;
    }
    if (!st)
        return true;
    Controller *ct = controllerOf(st, c, err);
    if (!ct)
        return false;
    Event e;
    e.seq = static_cast<uint32_t>(seq);
    e.time = static_cast<uint32_t>(time);
    e.code = static_cast<uint16_t>(code);
    e.dev = static_cast<uint16_t>(dev);
    e.hasSense = hasKey || hasAsc || hasAscq;
    e.key = static_cast<uint8_t>(key);
    e.asc = static_cast<uint8_t>(asc);
    e.ascq = static_cast<uint8_t>(ascq);
    if (desc)
        e.desc = *desc;
    auto pos = std::lower_bound(ct->events.begin(), ct->events.end(), e.seq,
                                [](const Event &x, uint32_t v) { return x.seq < v; });
    if (pos != ct->events.end() && pos->seq == e.seq)
        *pos = std::move(e); // same sequence number: the new line wins
    else
        ct->events.insert(pos, std::move(e));
    // KESTRUN_SIM_EVENT_LOG=N: the log keeps its newest N events, as a
    // controller's log of fixed size does (default: every event).
    static const size_t logMax = [] {
        const char *v = std::getenv("KESTRUN_SIM_EVENT_LOG");
        long long n = v != nullptr ? std::atoll(v) : 0;
        return n > 0 ? static_cast<size_t>(n) : SIZE_MAX;
    }();
    if (ct->events.size() > logMax)
        ct->events.erase(ct->events.begin(),
                         ct->events.begin() + static_cast<long>(ct->events.size() - logMax));
    return true;
}

// A fault or hold replaces an earlier one for the same command, controller
// and drive; times=0 withdraws it.
template <typename Rule> void upsertRule(std::vector<Rule> &rules, const Rule &r) {
    auto it = std::find_if(rules.begin(), rules.end(), [&](const Rule &o) {
        return o.cmd == r.cmd && o.ctrl == r.ctrl && o.dev == r.dev;
    });
    if (r.times == 0) {
        if (it != rules.end())
            rules.erase(it);
    } else if (it != rules.end()) {
        *it = r;
    } else {
        rules.push_back(r);
    }
}

// The fields a fault and a hold share, in their order: cmd=, the filters,
// the rule's own value (read by `value`), times=.
template <typename Rule, typename Value>
bool parseRule(Rule &r, Args &a, std::string &err, Value value) {
    bool hasCmd;
    if (!a.cmd(r.cmd, hasCmd) || !a.filters(r.ctrl, r.dev) || !value() || !a.times(r.times) ||
        !a.finish())
        return false;
    if (!hasCmd) {
        err = "missing cmd=";
        return false;
    }
    return true;
}

bool applyFault(Scenario *st, Args &a, std::string &err) {
    Fault f;
    uint64_t status = 0;
    bool hasStatus = false;
    if (!parseRule(f, a, err, [&] { return a.num("status", 0x7fffffff, status, hasStatus); }))
        return false;
    if (f.times != 0 && (!hasStatus || status == 0)) {
        err = "fault needs a nonzero status=";
        return false;
    }
    f.status = static_cast<int>(status);
    if (st)
        upsertRule(st->faults, f);
    return true;
}

bool applyHold(Scenario *st, Args &a, std::string &err) {
    Hold h;
    uint64_t ms = 0;
    if (!parseRule(h, a, err, [&] { return a.required("ms", 3600000, ms); }))
        return false;
    h.ms = static_cast<uint32_t>(ms);
    if (st)
        upsertRule(st->holds, h);
    return true;
}

bool applyOverride(Scenario *st, Args &a, std::string &err) {
    Override o;
    const std::string *field = a.str("field");
    const std::string *value = a.str("value");
    if (!a.filters(o.ctrl, o.dev) || !a.finish())
        return false;
    o.field = -1;
    for (size_t i = 0; field && i < std::size(kFields); i++)
        if (*field == kFields[i])
            o.field = static_cast<int>(i);
    if (o.field < 0) {
        err = "override needs field=ctrlcount|pdcount|ldcount|arraycount|eventcount";
        return false;
    }
    if ((o.field == CF_CTRLCOUNT && (o.ctrl >= 0 || o.dev >= 0)) ||
        ((o.field == CF_PDCOUNT || o.field == CF_EVENTCOUNT) && o.dev >= 0)) {
        err = std::string(kFields[o.field]) + " does not take that filter";
        return false;
    }
    uint64_t max = o.field == CF_CTRLCOUNT ? 0xffff : o.field == CF_ARRAYCOUNT ? 0xff : 0xffffffffu;
    uint64_t v = 0;
    bool off = value && *value == "off";
    if (!value || (!off && !parseNum(*value, max, v))) {
        err = "override needs value=<0.." + std::to_string(max) + "> or value=off";
        return false;
    }
    o.value = static_cast<uint32_t>(v);
    if (!st)
        return true;
    auto same = [&](const Override &x) {
        return x.field == o.field && x.ctrl == o.ctrl && x.dev == o.dev;
    };
    auto it = std::find_if(st->overrides.begin(), st->overrides.end(), same);
    if (off) {
        if (it != st->overrides.end())
            st->overrides.erase(it);
    } else if (it != st->overrides.end()) {
        *it = o;
    } else {
        st->overrides.push_back(o);
    }
    return true;
}

// at cmd=<name> n=<N> [fired=yes] <scenario line>
bool applyAt(Scenario *st, const std::string &line, const std::vector<Tok> &toks,
             std::string &err) {
    size_t k = 1;
    while (k < toks.size() && toks[k].hasEq)
        k++;
    if (k >= toks.size()) {
        err = "at needs a scenario line after its keys";
        return false;
    }
    std::vector<Tok> own(toks.begin(), toks.begin() + static_cast<long>(k));
    Args a(own, 1, err);
    if (a.duplicates())
        return false;
    At at;
    bool hasCmd;
    uint64_t n = 0;
    if (!a.cmd(at.cmd, hasCmd) || !a.required("n", 0xffffffffu, n))
        return false;
    const std::string *fired = a.str("fired");
    if (!a.finish())
        return false;
    if (!hasCmd) {
        err = "missing cmd=";
        return false;
    }
    if (n == 0) {
        err = "n counts from 1";
        return false;
    }
    if (fired && *fired != "yes" && *fired != "no") {
        err = "fired must be yes or no";
        return false;
    }
    at.n = n;
    at.fired = fired && *fired == "yes";
    at.line = line.substr(toks[k].begin, toks.back().end - toks[k].begin);
    if (toks[k].value == "at") {
        err = "timeline entries do not nest";
        return false;
    }
    std::string inner;
    if (!applyLine(nullptr, at.line, inner)) {
        err = "in timeline line: " + inner;
        return false;
    }
    if (st)
        st->ats.push_back(std::move(at));
    return true;
}

void appendQuoted(std::string &out, const std::string &v) {
    bool plain = !v.empty();
    for (char c : v)
        if (c == ' ' || c == '\t' || c == '"' || c == '#' || c == '\\' || c == '=')
            plain = false;
    if (plain) {
        out += v;
        return;
    }
    out += '"';
    for (char c : v) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    out += '"';
}

void appendList(std::string &out, const std::vector<uint16_t> &v) {
    for (size_t i = 0; i < v.size(); i++) {
        if (i)
            out += ',';
        out += std::to_string(v[i]);
    }
}

std::string stateName(const NamedValue *names, size_t count, uint8_t v) {
    for (size_t i = 0; i < count; i++)
        if (names[i].value == v)
            return names[i].name;
    return std::to_string(v);
}

void appendFilters(std::string &out, int ctrl, int dev) {
    if (ctrl >= 0)
        out += " c=" + std::to_string(ctrl);
    if (dev >= 0)
        out += " id=" + std::to_string(dev);
}

std::string timesText(int64_t t) {
    return t < 0 ? "always" : std::to_string(t);
}

} // namespace

const char *cmdName(int cmd) {
    return cmd >= 0 && cmd < CMD_SLOTS ? kCmdNames[cmd] : "unknown";
}

int cmdByName(const std::string &name) {
    for (int i = 0; i < CMD_SLOTS; i++)
        if (name == kCmdNames[i])
            return i;
    return -1;
}

Ld *Controller::findLd(uint8_t n) {
    for (Ld &l : lds)
        if (l.number == n)
            return &l;
    return nullptr;
}

void Controller::reindex() {
    slot.assign(65536, kNoSlot);
    for (size_t i = 0; i < drives.size(); i++)
        slot[drives[i].id] = static_cast<uint16_t>(i);
}

bool applyLine(Scenario *st, const std::string &line, std::string &err) {
    std::vector<Tok> toks;
    if (!tokenize(line, toks, err))
        return false;
    if (toks.empty())
        return true;
    if (toks[0].hasEq) {
        err = "a line starts with a keyword";
        return false;
    }
    const std::string &kw = toks[0].value;
    if (kw == "at")
        return applyAt(st, line, toks, err);
    Args a(toks, 1, err);
    if (a.duplicates())
        return false;
    if (kw == "controller")
        return applyController(st, a, err);
    if (!a.bare().empty()) {
        err = "unexpected word '" + a.bare()[0]->value + "' (keys are written key=value)";
        return false;
    }
    if (kw == "drive")
        return applyDrive(st, a, err);
    if (kw == "remove")
        return applyRemove(st, a, err);
    if (kw == "ld")
        return applyLd(st, a, err);
    if (kw == "spare")
        return applySpare(st, a, err);
    if (kw == "event")
        return applyEvent(st, a, err);
    if (kw == "fault")
        return applyFault(st, a, err);
    if (kw == "hold")
        return applyHold(st, a, err);
    if (kw == "override")
        return applyOverride(st, a, err);
    err = "unknown keyword '" + kw + "'";
    return false;
}

std::string renderScenario(const Scenario &st) {
    std::string o;
    o += "# Controller simulator scenario, rewritten by the simulator after a change\n"
         "# (comments are not kept; see sim/README.md for the grammar).\n";
    for (size_t ci = 0; ci < st.ctrls.size(); ci++) {
        const Controller &c = st.ctrls[ci];
        std::string cs = std::to_string(ci);
        o += "\ncontroller " + cs + " model=";
        appendQuoted(o, c.model);
        if (c.newestSet)
            o += " newest=" + std::to_string(c.newest);
        if (c.emptyOk)
            o += " empty=ok";
        o += '\n';
        for (const Drive &d : c.drives) {
            o += "drive c=" + cs + " id=" + std::to_string(d.id) + " seq=" + std::to_string(d.seq) +
                 " type=" + std::to_string(d.type) + " media=" + std::to_string(d.media) +
                 " merr=" + std::to_string(d.merr) + " pfail=" + std::to_string(d.pfail) +
                 " state=" + stateName(kDriveStates, std::size(kDriveStates), d.state);
            if (d.releaseUgood)
                o += " release=ugood";
            if (d.hasInquiry) {
                o += " inquiry=";
                appendQuoted(o, d.inquiry);
            }
            if (d.hasSas)
                o += " sas=" + std::to_string(d.sas);
            if (d.hasSas2)
                o += " sas2=" + std::to_string(d.sas2);
            if (d.hasEnclosure)
                o += " enclosure=" + std::to_string(d.enclosure);
            if (d.hasSlot)
                o += " slot=" + std::to_string(d.slotNumber);
            o += '\n';
        }
        for (const Drive &d : c.drives) {
            if (d.state != DS_SPARE)
                continue;
            o += "spare c=" + cs + " id=" + std::to_string(d.id);
            if (d.dedicated) {
                o += " role=dedicated groups=";
                appendList(o, d.spareGroups);
            } else {
                o += " role=global";
            }
            o += '\n';
        }
        for (const Ld &l : c.lds) {
            o += "ld c=" + cs + " n=" + std::to_string(l.number) +
                 " raid=" + std::to_string(l.raid) +
                 " state=" + stateName(kLdStates, std::size(kLdStates), l.state) + " members=";
            appendList(o, l.members);
            o += '\n';
        }
        for (const Event &e : c.events) {
            o += "event c=" + cs + " seq=" + std::to_string(e.seq) +
                 " time=" + std::to_string(e.time) + " code=" + std::to_string(e.code);
            if (e.dev != kNoDevice)
                o += " dev=" + std::to_string(e.dev);
            if (e.hasSense)
                o += " key=" + std::to_string(e.key) + " asc=" + std::to_string(e.asc) +
                     " ascq=" + std::to_string(e.ascq);
            if (!e.desc.empty()) {
                o += " desc=";
                appendQuoted(o, e.desc);
            }
            o += '\n';
        }
    }
    if (!st.overrides.empty() || !st.faults.empty() || !st.holds.empty())
        o += '\n';
    for (const Override &v : st.overrides) {
        o += std::string("override field=") + kFields[v.field];
        appendFilters(o, v.ctrl, v.dev);
        o += " value=" + std::to_string(v.value) + '\n';
    }
    for (const Fault &f : st.faults) {
        o += std::string("fault cmd=") + cmdName(f.cmd);
        appendFilters(o, f.ctrl, f.dev);
        o += " status=" + std::to_string(f.status) + " times=" + timesText(f.times) + '\n';
    }
    for (const Hold &h : st.holds) {
        o += std::string("hold cmd=") + cmdName(h.cmd);
        appendFilters(o, h.ctrl, h.dev);
        o += " ms=" + std::to_string(h.ms) + " times=" + timesText(h.times) + '\n';
    }
    if (!st.ats.empty())
        o += '\n';
    for (const At &t : st.ats) {
        o += std::string("at cmd=") + cmdName(t.cmd) + " n=" + std::to_string(t.n);
        if (t.fired)
            o += " fired=yes";
        o += ' ' + t.line + '\n';
    }
    for (const std::string &r : st.rejected)
        o += "# rejected: " + r + '\n';
    return o;
}

} // namespace kestrun_sim
