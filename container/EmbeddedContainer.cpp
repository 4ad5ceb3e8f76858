// The container file is pulled in by the assembler, which is much faster than
// compiling a megabyte-sized array initialiser.
#include "EmbeddedContainer.h"

#ifndef UPDATER_CONTAINER_PATH
#error "UPDATER_CONTAINER_PATH names the container file to embed"
#endif

#ifdef _WIN32
#define UPDATER_RODATA ".section .rdata,\"dr\"\n"
#else
#define UPDATER_RODATA ".section .rodata\n"
#endif

asm(UPDATER_RODATA
    ".balign 16\n"
    "updater_kfs_begin:\n"
    ".incbin \"" UPDATER_CONTAINER_PATH "\"\n"
    "updater_kfs_end:\n"
    ".byte 0\n"
    ".text\n");

extern "C" const uint8_t updater_kfs_begin[] asm("updater_kfs_begin");
extern "C" const uint8_t updater_kfs_end[] asm("updater_kfs_end");

const uint8_t* EmbeddedContainerData() { return updater_kfs_begin; }
size_t EmbeddedContainerSize() { return static_cast<size_t>(updater_kfs_end - updater_kfs_begin); }
