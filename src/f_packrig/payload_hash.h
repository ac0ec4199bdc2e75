// A streaming 64-bit hash of the payload, from which a reproducible build derives its
// identifier. It only has to tell payloads apart, not resist an attacker; it takes eight bytes
// a step, so hashing costs little beside reading the files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace fpackrig {

class PayloadHash {
  public:
    void Update(const void* data, size_t n) {
        const unsigned char* p = static_cast<const unsigned char*>(data);
        length_ += n;
        while (n > 0 && pendingCount_ != 0) {
            AddPendingByte(*p++);
            --n;
        }
        for (; n >= 8; p += 8, n -= 8) {
            uint64_t word;
            std::memcpy(&word, p, 8);
            Mix(word);
        }
        while (n-- > 0)
            AddPendingByte(*p++);
    }

    uint64_t Final() const {
        uint64_t h = state_;
        h ^= (pending_ ^ length_) * kPrime;
        h ^= h >> 29;
        h *= 0xBF58476D1CE4E5B9ull;
        h ^= h >> 32;
        return h;
    }

  private:
    static constexpr uint64_t kPrime = 0x100000001B3ull;

    void Mix(uint64_t word) {
        state_ = (state_ ^ word) * kPrime;
        state_ ^= state_ >> 31;
    }
    void AddPendingByte(unsigned char b) {
        pending_ |= uint64_t{b} << (8 * pendingCount_);
        if (++pendingCount_ == 8) {
            Mix(pending_);
            pending_ = 0;
            pendingCount_ = 0;
        }
    }

    uint64_t state_ = 0xCBF29CE484222325ull;
    uint64_t pending_ = 0;
    unsigned pendingCount_ = 0;
    uint64_t length_ = 0;
};

} // namespace fpackrig
