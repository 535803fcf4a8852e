#include "json/json_writer.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace quarl {
namespace {

// The text goes straight into the caller's string at a cursor. The string is grown ahead of the
// cursor, doubling each time, and cut back to it at the end: every piece is then a plain copy into
// memory already there, instead of an append with its own capacity check and bookkeeping.
class Output {
public:
    explicit Output(std::string& out) : out_(out), start_(out.size()), end_(out.size()) {}

    // Room for `n` more bytes at the cursor; the pointer stays valid until the next call of
    // room() or reserve_from().
    char* room(std::size_t n) {
        if (out_.size() - end_ < n) grow(n);
        return out_.data() + end_;
    }
    // Moves the cursor to `cursor` (inside the room last given) and asks for `n` bytes from there.
    char* reserve_from(const char* cursor, std::size_t n) {
        end_ = static_cast<std::size_t>(cursor - out_.data());
        return room(n);
    }
    void advance_to(const char* cursor) { end_ = static_cast<std::size_t>(cursor - out_.data()); }

    void put(char c) {
        *room(1) = c;
        ++end_;
    }
    void put(std::string_view text) {
        std::memcpy(room(text.size()), text.data(), text.size());
        end_ += text.size();
    }

    void finish() { out_.resize(end_); }
    // After a failure: the string holds what it held before, nothing half-written.
    void abandon() noexcept { out_.resize(start_); }

private:
    // Every byte that resize() adds is written (zeroed), which makes its page resident. Within the
    // capacity the caller reserved, nothing is reallocated, so the string grows there by at most
    // `step` at a time: a generous reservation then costs address space, not memory. Past it,
    // doubling keeps the number of reallocations (each a copy of everything so far) small.
    void grow(std::size_t n) {
        constexpr std::size_t step = std::size_t{1} << 20;
        const std::size_t needed = end_ + n;
        std::size_t size = std::max(out_.size() * 2, std::size_t{128});
        if (needed <= out_.capacity()) size = std::min({size, out_.size() + step, out_.capacity()});
        out_.resize(std::max(size, needed));
    }

    std::string& out_;
    const std::size_t start_;
    std::size_t end_;
};

// For each byte: 0 when it is written as it is, otherwise the letter of its short escape, or 'u'
// for the \u00XX form.
struct EscapeTable {
    char escape[256] = {};
    constexpr EscapeTable() {
        for (int c = 0; c < 0x20; ++c) escape[c] = 'u';
        escape[static_cast<unsigned char>('\b')] = 'b';
        escape[static_cast<unsigned char>('\f')] = 'f';
        escape[static_cast<unsigned char>('\n')] = 'n';
        escape[static_cast<unsigned char>('\r')] = 'r';
        escape[static_cast<unsigned char>('\t')] = 't';
        escape[static_cast<unsigned char>('"')] = '"';
        escape[static_cast<unsigned char>('\\')] = '\\';
    }
};
constexpr EscapeTable escapes;

// Eight bytes at once: the high bit of each byte that is below 0x20, a quote or a backslash. A
// flag can also be set wrongly, but only in a byte above (at a higher address than) a byte that
// is rightly flagged, so the lowest flag always marks the first byte to escape.
std::uint64_t bytes_to_escape(std::uint64_t block) {
    constexpr std::uint64_t ones = 0x0101010101010101;
    constexpr std::uint64_t high_bits = ones * 0x80;
    const std::uint64_t control = (block - ones * 0x20) & ~block;
    const std::uint64_t quotes = block ^ (ones * '"');
    const std::uint64_t backslashes = block ^ (ones * '\\');
    return (control | ((quotes - ones) & ~quotes) | ((backslashes - ones) & ~backslashes)) &
           high_bits;
}

// Copies the bytes that need no escape from `p` to `out`, up to the first one that does (or to
// `end`); moves both pointers past what was copied. `out` has room for everything up to `end`.
void copy_plain(const char*& p, const char* end, char*& out) {
    if constexpr (std::endian::native == std::endian::little) {
        while (end - p >= 8) {
            std::uint64_t block;
            std::memcpy(&block, p, 8);
            std::memcpy(out, &block, 8);
            const std::uint64_t stops = bytes_to_escape(block);
            if (stops != 0) {
                const int plain = std::countr_zero(stops) / 8;
                p += plain;
                out += plain;
                return;
            }
            p += 8;
            out += 8;
        }
    }
    while (p != end && escapes.escape[static_cast<unsigned char>(*p)] == 0) *out++ = *p++;
}

void write_string(std::string_view text, Output& output) {
    const char* p = text.data();
    const char* const end = p + text.size();
    // Room for the text as it is and both quotes; each escape asks for its extra bytes.
    char* out = output.room(text.size() + 2);
    *out++ = '"';
    for (;;) {
        copy_plain(p, end, out);
        if (p == end) break;
        const auto byte = static_cast<unsigned char>(*p++);
        const char letter = escapes.escape[byte];
        const std::size_t length = letter == 'u' ? 6 : 2;
        out = output.reserve_from(out, length + static_cast<std::size_t>(end - p) + 1);
        if (letter == 'u') {
            constexpr char hex[] = "0123456789abcdef";
            const char code[] = {'\\', 'u', '0', '0', hex[byte >> 4], hex[byte & 0xF]};
            std::memcpy(out, code, sizeof code);
        } else {
            out[0] = '\\';
            out[1] = letter;
        }
        out += length;
    }
    *out++ = '"';
    output.advance_to(out);
}

template <class Integer>
void write_integer(Integer value, Output& output) {
    char* out = output.room(24);
    output.advance_to(std::to_chars(out, out + 24, value).ptr);
}

// The longest layout: "-", 17 digits, "0." and five zeros before them, or "." and "e-324".
constexpr std::size_t double_room = 32;

// The shortest digits that read back to the same double (from to_chars), laid out in fixed
// notation for decimal exponents -5..15 and in exponent notation outside them.
void write_double(double value, Output& output) {
    if (!std::isfinite(value)) {
        output.put("null");
        return;
    }
    if (value == 0) {
        output.put(std::signbit(value) ? "-0.0" : "0.0");
        return;
    }
    char buffer[32];
    auto* const end =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific).ptr;
    char* out = output.room(double_room);
    // buffer holds [-]d[.ddd]e(+|-)xx
    const char* p = buffer;
    if (*p == '-') {
        *out++ = '-';
        ++p;
    }
    char digits[24];
    std::size_t count = 0;
    for (; *p != 'e'; ++p) {
        if (*p != '.') digits[count++] = *p;
    }
    int exponent = 0;
    ++p;  // 'e'
    const bool negative_exponent = *p == '-';
    std::from_chars(p + 1, end, exponent);
    if (negative_exponent) exponent = -exponent;

    const auto append = [&out](const char* from, std::size_t n) {
        std::memcpy(out, from, n);
        out += n;
    };
    const auto zeros = [&out](std::size_t n) {
        std::memset(out, '0', n);
        out += n;
    };
    if (exponent < -5 || exponent > 15) {
        *out++ = digits[0];
        if (count > 1) {
            *out++ = '.';
            append(digits + 1, count - 1);
        }
        *out++ = 'e';
        *out++ = exponent < 0 ? '-' : '+';
        out = std::to_chars(out, out + 4, std::abs(exponent)).ptr;
    } else if (exponent < 0) {
        append("0.", 2);
        zeros(static_cast<std::size_t>(-exponent - 1));
        append(digits, count);
    } else {
        const auto whole = static_cast<std::size_t>(exponent) + 1;
        if (count > whole) {
            append(digits, whole);
            *out++ = '.';
            append(digits + whole, count - whole);
        } else {
            append(digits, count);
            zeros(whole - count);
            append(".0", 2);
        }
    }
    output.advance_to(out);
}

struct Writer {
    Output& out;

    void operator()(std::nullptr_t) const { out.put("null"); }
    void operator()(bool value) const { out.put(value ? std::string_view("true") : "false"); }
    void operator()(std::uint64_t value) const { write_integer(value, out); }
    void operator()(std::int64_t value) const { write_integer(value, out); }
    void operator()(const BigInteger& value) const { out.put(value.digits); }
    void operator()(double value) const { write_double(value, out); }
    void operator()(const std::string& value) const { write_string(value, out); }
    void operator()(const SharedText& value) const { write_string(value.text(), out); }
    void operator()(const JsonArray& items) const {
        out.put('[');
        bool first = true;
        for (const JsonValue& item : items) {
            if (!first) out.put(',');
            first = false;
            std::visit(*this, item.storage());
        }
        out.put(']');
    }
    void operator()(const JsonObject& object) const {
        out.put('{');
        bool first = true;
        for (const auto& [key, value] : object.members()) {
            if (!first) out.put(',');
            first = false;
            write_string(key, out);
            out.put(':');
            std::visit(*this, value.storage());
        }
        out.put('}');
    }
};

}  // namespace

void write_json(const JsonValue& value, std::string& out) {
    Output output(out);
    try {
        std::visit(Writer{output}, value.storage());
    } catch (...) {
        output.abandon();
        throw;
    }
    output.finish();
}

std::string write_json(const JsonValue& value) {
    std::string out;
    out.reserve(128);
    write_json(value, out);
    return out;
}

}  // namespace quarl
