#include "json/json_writer.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace quarl {
namespace {

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

void write_string(std::string_view text, std::string& out) {
    out.push_back('"');
    const char* run = text.data();
    const char* const end = text.data() + text.size();
    for (const char* p = run; p != end; ++p) {
        const char letter = escapes.escape[static_cast<unsigned char>(*p)];
        if (letter == 0) continue;
        out.append(run, p);
        run = p + 1;
        if (letter == 'u') {
            constexpr char hex[] = "0123456789abcdef";
            const auto byte = static_cast<unsigned char>(*p);
            const char code[] = {'\\', 'u', '0', '0', hex[byte >> 4], hex[byte & 0xF]};
            out.append(code, sizeof code);
        } else {
            out.push_back('\\');
            out.push_back(letter);
        }
    }
    out.append(run, end);
    out.push_back('"');
}

template <class Integer>
void write_integer(Integer value, std::string& out) {
    char buffer[24];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    out.append(buffer, end);
}

// The shortest digits that read back to the same double (from to_chars), laid out in fixed
// notation for decimal exponents -5..15 and in exponent notation outside them.
void write_double(double value, std::string& out) {
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    if (value == 0) {
        out += std::signbit(value) ? "-0.0" : "0.0";
        return;
    }
    char buffer[32];
    const auto end =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific).ptr;
    // buffer holds [-]d[.ddd]e(+|-)xx
    const char* p = buffer;
    if (*p == '-') {
        out.push_back('-');
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

    if (exponent < -5 || exponent > 15) {
        out.push_back(digits[0]);
        if (count > 1) {
            out.push_back('.');
            out.append(digits + 1, count - 1);
        }
        out.push_back('e');
        out.push_back(exponent < 0 ? '-' : '+');
        write_integer(std::abs(exponent), out);
    } else if (exponent < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out.append(digits, count);
    } else {
        const auto whole = static_cast<std::size_t>(exponent) + 1;
        if (count > whole) {
            out.append(digits, whole);
            out.push_back('.');
            out.append(digits + whole, count - whole);
        } else {
            out.append(digits, count);
            out.append(whole - count, '0');
            out += ".0";
        }
    }
}

struct Writer {
    std::string& out;

    void operator()(std::nullptr_t) const { out += "null"; }
    void operator()(bool value) const { out += value ? "true" : "false"; }
    void operator()(std::uint64_t value) const { write_integer(value, out); }
    void operator()(std::int64_t value) const { write_integer(value, out); }
    void operator()(const BigInteger& value) const { out += value.digits; }
    void operator()(double value) const { write_double(value, out); }
    void operator()(const std::string& value) const { write_string(value, out); }
    void operator()(const JsonArray& items) const {
        out.push_back('[');
        bool first = true;
        for (const JsonValue& item : items) {
            if (!first) out.push_back(',');
            first = false;
            std::visit(*this, item.storage());
        }
        out.push_back(']');
    }
    void operator()(const JsonObject& object) const {
        out.push_back('{');
        bool first = true;
        for (const auto& [key, value] : object.members()) {
            if (!first) out.push_back(',');
            first = false;
            write_string(key, out);
            out.push_back(':');
            std::visit(*this, value.storage());
        }
        out.push_back('}');
    }
};

}  // namespace

void write_json(const JsonValue& value, std::string& out) { std::visit(Writer{out}, value.storage()); }

std::string write_json(const JsonValue& value) {
    std::string out;
    out.reserve(128);
    write_json(value, out);
    return out;
}

}  // namespace quarl
