// A run of the terminal program against the fake system layer: sysfs, /dev, the mount table and
// the process status all under one temporary folder.
#pragma once

#include <cstdio>

#include "TempDir.h"
#include "Updater.h"

inline UpdaterStreams StreamsUnder(const TempDir& dir, SgSystem& system, std::FILE* out, std::FILE* err,
                                   std::FILE* in) {
    UpdaterStreams s;
    s.out = out;
    s.err = err;
    s.in = in;
    s.system = &system;
    s.sysfsRoot = dir / "sys";
    s.devRoot = dir / "dev";
    s.mountsPath = dir / "mounts";
    s.procStatusPath = dir / "status";
    return s;
}
