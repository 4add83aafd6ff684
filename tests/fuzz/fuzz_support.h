// Shared by the fuzz targets: a private module directory, a reader over the
// fuzzer's bytes, and the outside world (sleep, ldd) replaced so that one run
// takes microseconds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace fz {

// Creates the module directory once and points the daemon at it.
const std::string &moduleDir();
// Deletes every file in the module directory.
void clearModuleDir();
bool writeFile(const char *name, const uint8_t *data, size_t size);
// Whole file, or nullopt-like empty with `exists` false.
std::string readFile(const char *name, bool *exists = nullptr);
bool exists(const char *name);

// Called by the replaced sleep() before it returns at once, and with the text
// of every message the replaced syslog() receives (null: nothing).
extern void (*onSleep)(unsigned seconds);
extern void (*onSyslog)(const char *text);

// Reads the fuzzer's bytes front to back; zeros once they are used up.
class Bytes {
  public:
    Bytes(const uint8_t *data, size_t size) : p_(data), n_(size) {}
    bool empty() const {
        return n_ == 0;
    }
    uint8_t u8() {
        if (n_ == 0)
            return 0;
        n_--;
        return *p_++;
    }
    uint16_t u16() {
        return static_cast<uint16_t>(u8() | (u8() << 8));
    }
    uint32_t u32() {
        return static_cast<uint32_t>(u16()) | (static_cast<uint32_t>(u16()) << 16);
    }
    // Copies up to `size` bytes into `out`; returns how many were copied.
    size_t take(void *out, size_t size) {
        size_t k = size < n_ ? size : n_;
        if (k > 0)
            memcpy(out, p_, k);
        p_ += k;
        n_ -= k;
        return k;
    }
    const uint8_t *data() const {
        return p_;
    }
    size_t size() const {
        return n_;
    }

  private:
    const uint8_t *p_;
    size_t n_;
};

// Trap with a message: the fuzzer records the input.
[[noreturn]] void fail(const char *what);
#define FZ_CHECK(cond)                                                                             \
    do {                                                                                           \
        if (!(cond))                                                                               \
            ::fz::fail(#cond);                                                                     \
    } while (0)

} // namespace fz
