// Reads containers and images from files, pipes and devices without ever
// holding more than the loader could accept.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <vector>

#include "Kfs.h"

enum class ReadOutcome { Done, TooLarge, Failed };

// Appends everything left in `in` to `bytes` when that is at most `limit`
// bytes in all; reads no more than limit + 1 bytes to find out. Failed leaves
// the reason in errno.
ReadOutcome ReadAtMost(std::FILE* in, size_t limit, std::vector<uint8_t>& bytes);

struct ContainerRead {
    ReadOutcome outcome = ReadOutcome::Done;
    KfsRejection rejection = KfsRejection::None;  // when refused before the end was read
    int error = 0;                                // errno, when Failed
};

// Reads a container: its first bytes first, so that data without the magic
// or with an unknown version is refused at once, then the rest, refusing
// anything larger than kMaxContainerSize. `size`, when known (a regular
// file), is checked before the rest is read.
ContainerRead ReadContainer(std::FILE* in, std::optional<uint64_t> size, std::vector<uint8_t>& bytes);
