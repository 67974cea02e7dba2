#pragma once
// The SHA-256 of a backup for its record. A township's backup can run to hundreds of megabytes,
// and the record is written while the user waits: on a processor with the SHA extensions
// (Intel since Ice Lake, AMD since Zen) the hash uses them and reads about seven times as fast
// as the portable code, which QCryptographicHash provides everywhere else.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace tarvex {

class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Add(const char* data, std::size_t size);
    // The hash of everything added, in lower-case hexadecimal; call once, after the last Add.
    std::string Hex();

    // Whether this processor's SHA extensions do the work.
    static bool Accelerated();

private:
    struct Portable;
    std::unique_ptr<Portable> portable_;  // set where the processor has no SHA extensions
    std::uint32_t state_[8];
    unsigned char pending_[64];
    std::size_t pendingSize_ = 0;
    std::uint64_t total_ = 0;
};

}  // namespace tarvex
