// The RTF reader's output buffer.
#pragma once

#include "text/Utf8.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace vantrel::extractor::rtf {

// Text being written. Appending to std::string checks capacity and writes a
// terminator per call; here the string is grown ahead in steps and filled
// through a pointer. Steps are small so that a large reservation is touched
// only as far as text is written.
class Output {
  public:
    void reserve(size_t n) { s_.reserve(n); }
    size_t size() const { return used_; }
    bool empty() const { return used_ == 0; }
    char back() const { return data_[used_ - 1]; }
    void setBack(char c) { data_[used_ - 1] = c; }
    // The text from byte `from` on (clamped), and dropping it.
    std::string_view tail(size_t from) const {
        return from < used_ ? std::string_view(data_ + from, used_ - from) : std::string_view();
    }
    void truncate(size_t n) { used_ = std::min(used_, n); }

    // Room for n more bytes, to be taken with commit().
    char* room(size_t n) {
        if (room_ - used_ < n) [[unlikely]] {
            grow(n);
        }
        return data_ + used_;
    }
    void commit(size_t n) { used_ += n; }

    void push_back(char c) {
        *room(1) = c;
        ++used_;
    }
    void append(const char* p, size_t n) {
        if (n != 0) { // memcpy must not see the null data of an empty output
            std::memcpy(room(n), p, n);
            used_ += n;
        }
    }
    void append(std::string_view s) { append(s.data(), s.size()); }

    void appendUtf8(char32_t cp) { used_ += encodeUtf8(cp, room(4)); }

    std::string take() {
        s_.resize(used_);
        data_ = nullptr;
        room_ = used_ = 0;
        return std::move(s_);
    }

  private:
    // Out of line: the callers above are inlined everywhere. Steps double
    // up to kStep, so a short text fills no more than it needs.
    [[gnu::noinline]] void grow(size_t n) {
        s_.resize(used_ + std::max(n, std::clamp<size_t>(used_, 256, kStep)));
        data_ = s_.data();
        room_ = s_.size();
    }

    static constexpr size_t kStep = size_t{64} * 1024;
    std::string s_; // s_.size() is the room grown so far; text ends at used_
    char* data_ = nullptr;
    size_t room_ = 0;
    size_t used_ = 0;
};

} // namespace vantrel::extractor::rtf
