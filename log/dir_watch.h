// Tells whether the names in a directory may have changed since an earlier
// look, through an inotify watch, so that a pass over the directory can be
// skipped exactly when it would find the same names.
#pragma once

// The directory's change generation: a number that differs from every
// earlier result whenever a name in `directory` may have been added, removed
// or renamed, an attribute changed, or the watch itself been lost or
// overflowed since. -1 when no watch can be had (a file system that may
// change without telling this host, no inotify, no watch left): the caller
// must then assume that anything may have changed.
long long llDirChangeGeneration(const char *directory);

// Closes the watch; the next call sets it up again.
void vDirWatchRelease();
