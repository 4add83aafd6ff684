// The dependency-check output reader over arbitrary Work.txt contents.
#include "fuzz_support.h"

#include "storage/loader.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>

// The reader tests each path it finds with access(): here a path "exists" by
// a hash of its text, so that both outcomes are explored and the result never
// depends on the files of the machine the fuzzer runs on.
extern "C" int __wrap_access(const char *path, int) {
    uint32_t h = 2166136261u;
    for (const char *p = path; *p != '\0'; p++)
        h = (h ^ static_cast<unsigned char>(*p)) * 16777619u;
    if (h & 1) {
        errno = ENOENT;
        return -1;
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    std::unique_ptr<FILE, int (*)(FILE *)> f(fmemopen(const_cast<uint8_t *>(data), size, "r"),
                                             &fclose);
    if (!f)
        return 0;
    int lastErrno = 0;
    int missing = iMissingDependencies(f.get(), &lastErrno);
    // At most one path per piece the reader takes (lines, cut at 511 bytes).
    size_t pieces = static_cast<size_t>(std::count(data, data + size, '\n')) + 1 + size / 511;
    FZ_CHECK(missing >= 0 && static_cast<size_t>(missing) <= pieces);
    FZ_CHECK((missing == 0) == (lastErrno == 0));
    return 0;
}
