// The system calls through which kfstool writes a file, in one table so that a test can make each
// of them fail; the real ones unless a test puts others in.
#pragma once

#include <sys/types.h>

struct KfstoolWriteCalls {
    ssize_t (*write)(int, const void*, size_t);
    int (*fsync)(int);
    int (*close)(int);
    int (*rename)(const char*, const char*);
    int (*fchmod)(int, mode_t);
    int (*fchown)(int, uid_t, gid_t);
};
extern KfstoolWriteCalls kfstoolWriteCalls;
