#include "KfsRead.h"

#include <algorithm>
#include <cerrno>

namespace {

// Appends up to `count` bytes; fewer only at the end of the input or on an error.
size_t Append(std::FILE* in, size_t count, std::vector<uint8_t>& bytes) {
    uint8_t chunk[65536];
    size_t done = 0;
    while (done < count) {
        const size_t want = std::min(count - done, sizeof chunk);
        const size_t n = std::fread(chunk, 1, want, in);
        bytes.insert(bytes.end(), chunk, chunk + n);
        done += n;
        if (n < want) break;
    }
    return done;
}

}  // namespace

ReadOutcome ReadAtMost(std::FILE* in, size_t limit, std::vector<uint8_t>& bytes) {
    const size_t n = Append(in, limit + 1, bytes);
    if (std::ferror(in)) return ReadOutcome::Failed;
    return n > limit ? ReadOutcome::TooLarge : ReadOutcome::Done;
}

ContainerRead ReadContainer(std::FILE* in, std::optional<uint64_t> size, std::vector<uint8_t>& bytes) {
    ContainerRead r;
    bytes.clear();
    Append(in, kfs::kVersionOffset + 1, bytes);
    if (std::ferror(in)) {
        r.outcome = ReadOutcome::Failed;
        r.error = errno;
        return r;
    }
    const KfsRejection early = CheckMagicAndVersion(bytes.data(), bytes.size());
    if (early == KfsRejection::BadMagic || early == KfsRejection::BadVersion) {
        r.rejection = early;
        return r;
    }
    if (bytes.size() <= kfs::kVersionOffset) return r;  // all there is; the loader says what is missing
    if (size && *size > kfs::kMaxContainerSize) {
        r.outcome = ReadOutcome::TooLarge;
        return r;
    }
    r.outcome = ReadAtMost(in, kfs::kMaxContainerSize - bytes.size(), bytes);
    if (r.outcome == ReadOutcome::Failed) r.error = errno;
    return r;
}
