// The one closer for the C library's FILE and DIR handles.
#pragma once

#include <cstdio>
#include <dirent.h>
#include <memory>

struct HandleCloser {
    void operator()(FILE *f) const {
        fclose(f);
    }
    void operator()(DIR *d) const {
        closedir(d);
    }
};
using FilePtr = std::unique_ptr<FILE, HandleCloser>;
using DirPtr = std::unique_ptr<DIR, HandleCloser>;
