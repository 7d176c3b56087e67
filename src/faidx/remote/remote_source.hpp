// The byte source of a remote file: aligned blocks fetched by range requests into a bounded cache
// shared by threads, and the batch path that fetches the blocks of many regions at once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "faidx/remote/http.hpp"
#include "faidx/source.hpp"

namespace tavlo {

// Block size, cache size and requests in flight, chosen by measurement (README, "Remote files"):
// a block is one round trip whatever its size up to a few hundred KiB on a fast link, so a
// block large enough that neighbouring regions share it, and small enough that a batch of
// scattered regions does not fetch the whole file.
inline constexpr std::uint64_t kRemoteBlock = 64 << 10;
inline constexpr std::size_t kRemoteCacheBlocks = 512;  // 32 MiB per open file
inline constexpr int kRemoteInFlight = 32;
// Neighbouring missing blocks of a batch go in one request, up to this many (512 KiB).
inline constexpr std::size_t kRemoteRun = 8;

// A source reading `client`'s object, version `version`, whose first block (or the whole of a
// smaller object) `first_block` already holds.
std::unique_ptr<Source> make_remote_source(std::unique_ptr<HttpClient> client,
                                           ObjectVersion version, std::string first_block);

}  // namespace tavlo
