// Takes numbers and byte runs off the front of a fuzzer's input; past the
// end everything reads as zero, so any input decodes to something.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vostrel::fuzz {

class InputReader {
public:
    InputReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool Empty() const { return pos_ >= size_; }
    std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint16_t Word() {
        const std::uint16_t lo = Byte();
        return static_cast<std::uint16_t>(lo | (Byte() << 8));
    }
    /// Up to `n` bytes (fewer at the end of the input).
    std::string Bytes(std::size_t n) {
        const std::size_t take = n < size_ - pos_ ? n : size_ - pos_;
        std::string s(reinterpret_cast<const char*>(data_ + pos_), take);
        pos_ += take;
        return s;
    }
    std::string Rest() { return Bytes(size_ - pos_); }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

}  // namespace vostrel::fuzz
