// Appends text and numbers to a fixed buffer, as snprintf would write them
// (%s, %d, %u, %0Nd, %0Nx), cut at the same place when the buffer is full, and
// always NUL-terminated. The hot log lines are built with it: no format string
// is parsed and no locale is consulted.
#ifndef TRV_COMMON_TEXT_APPENDER_H
#define TRV_COMMON_TEXT_APPENDER_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

class TextAppender {
public:
    // size 0 leaves out untouched, like snprintf.
    TextAppender(char* out, size_t size) : out_(out), size_(size) {
        if (size_ > 0) out_[0] = '\0';
    }

    // Whole pieces at a time; inlined, so that a literal's length is known.
    [[gnu::always_inline]] TextAppender& Text(const char* text) {
        return text == nullptr ? Close() : Text(std::string_view(text));
    }
    [[gnu::always_inline]] TextAppender& Text(std::string_view text) {
        const size_t room = size_ > length_ + 1 ? size_ - length_ - 1 : 0;
        // Separate branches: with the whole piece the copy has the literal's fixed size.
        if (text.size() <= room) {
            std::memcpy(out_ + length_, text.data(), text.size());
            length_ += text.size();
        } else if (room > 0) {
            std::memcpy(out_ + length_, text.data(), room);
            length_ += room;
        }
        return Close();
    }
    TextAppender& Char(char c) {
        if (length_ + 1 < size_) out_[length_++] = c;
        return Close();
    }
    // %d, or %0<width>d: the sign counts in the width.
    TextAppender& Int(int64_t value, int width = 0) {
        const bool negative = value < 0;
        const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
        return Digits(magnitude, 10, width, negative);
    }
    // %u, or %0<width>u.
    TextAppender& Unsigned(uint64_t value, int width = 0) { return Digits(value, 10, width, false); }
    // %x, or %0<width>x: lower-case digits.
    TextAppender& Hex(uint64_t value, int width = 0) { return Digits(value, 16, width, false); }

    const char* c_str() const { return out_; }
    // Characters written so far (what snprintf returns only when nothing was cut).
    size_t length() const { return length_; }

private:
    TextAppender& Close() {
        if (size_ > 0) out_[length_] = '\0';
        return *this;
    }
    TextAppender& Digits(uint64_t value, unsigned base, int width, bool negative) {
        // Filled from the end: sign, zeros and digits are then one piece.
        char text[64];
        char* first = text + sizeof text;
        do {
            *--first = "0123456789abcdef"[value % base];
            value /= base;
        } while (value != 0);
        const int digits = static_cast<int>(text + sizeof text - first);
        for (int pad = width - digits - (negative ? 1 : 0); pad > 0 && first > text + 1; --pad) *--first = '0';
        if (negative) *--first = '-';
        return Text(std::string_view(first, static_cast<size_t>(text + sizeof text - first)));
    }

    char* out_;
    size_t size_;
    size_t length_ = 0;
};

#endif
