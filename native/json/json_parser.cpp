#include "json/json_parser.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <system_error>

namespace quarl {
namespace {

constexpr const char eof_list[] = "EOF while parsing a list";
constexpr const char eof_object[] = "EOF while parsing an object";
constexpr const char eof_string[] = "EOF while parsing a string";
constexpr const char eof_value[] = "EOF while parsing a value";
constexpr const char expected_colon[] = "expected `:`";
constexpr const char expected_list_comma_or_end[] = "expected `,` or `]`";
constexpr const char expected_object_comma_or_end[] = "expected `,` or `}`";
constexpr const char expected_ident[] = "expected ident";
constexpr const char expected_value[] = "expected value";
constexpr const char invalid_escape[] = "invalid escape";
constexpr const char invalid_number[] = "invalid number";
constexpr const char number_out_of_range[] = "number out of range";
constexpr const char invalid_code_point[] = "invalid unicode code point";
constexpr const char control_character[] =
    "control character (\\u0000-\\u001F) found while parsing a string";
constexpr const char key_must_be_string[] = "key must be a string";
constexpr const char lone_leading_surrogate[] = "lone leading surrogate in hex escape";
constexpr const char trailing_comma[] = "trailing comma";
constexpr const char trailing_characters[] = "trailing characters";
constexpr const char unexpected_end_of_hex_escape[] = "unexpected end of hex escape";
constexpr const char recursion_limit_exceeded[] = "recursion limit exceeded";

constexpr int end_of_input = -1;

bool is_digit(int c) { return c >= '0' && c <= '9'; }

int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Length of the well-formed UTF-8 sequence at text[i] (a non-ASCII lead byte), or 0.
std::size_t utf8_sequence_length(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) -> unsigned {
        return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0;
    };
    const auto cont = [&](std::size_t k) { return (byte(k) & 0xC0) == 0x80; };
    const unsigned b0 = byte(0);
    if (b0 >= 0xC2 && b0 <= 0xDF) return cont(1) ? 2 : 0;
    if (b0 >= 0xE0 && b0 <= 0xEF) {
        const unsigned b1 = byte(1);
        if (b0 == 0xE0 && b1 < 0xA0) return 0;   // overlong
        if (b0 == 0xED && b1 >= 0xA0) return 0;  // UTF-16 surrogates
        return cont(1) && cont(2) ? 3 : 0;
    }
    if (b0 >= 0xF0 && b0 <= 0xF4) {
        const unsigned b1 = byte(1);
        if (b0 == 0xF0 && b1 < 0x90) return 0;   // overlong
        if (b0 == 0xF4 && b1 >= 0x90) return 0;  // beyond U+10FFFF
        return cont(1) && cont(2) && cont(3) ? 4 : 0;
    }
    return 0;
}

// Bytes that end a plain run inside a string: the quote, the backslash, control characters and
// the lead bytes of multi-byte sequences (which are validated).
struct StringStops {
    bool stop[256] = {};
    constexpr StringStops() {
        for (int c = 0; c < 0x20; ++c) stop[c] = true;
        for (int c = 0x80; c < 0x100; ++c) stop[c] = true;
        stop[static_cast<unsigned char>('"')] = true;
        stop[static_cast<unsigned char>('\\')] = true;
    }
};
constexpr StringStops string_stops;

// The position of the first stop byte in [p, end), or end: eight bytes at a time where the bytes
// are in little-endian order. A block's flags (the high bit of each byte below 0x20, at or above
// 0x80, a quote or a backslash) may also mark a byte wrongly, but only one above a rightly
// marked byte, so the lowest flag is always the first stop.
const char* find_string_stop(const char* p, const char* end) {
    if constexpr (std::endian::native == std::endian::little) {
        constexpr std::uint64_t ones = 0x0101010101010101;
        constexpr std::uint64_t high_bits = ones * 0x80;
        while (end - p >= 8) {
            std::uint64_t block;
            std::memcpy(&block, p, 8);
            const std::uint64_t quotes = block ^ (ones * '"');
            const std::uint64_t backslashes = block ^ (ones * '\\');
            const std::uint64_t stops =
                ((block - ones * 0x20) | block | ((quotes - ones) & ~quotes) |
                 ((backslashes - ones) & ~backslashes)) &
                high_bits;
            if (stops != 0) return p + std::countr_zero(stops) / 8;
            p += 8;
        }
    }
    while (p != end && !string_stops.stop[static_cast<unsigned char>(*p)]) ++p;
    return p;
}

class Parser {
public:
    explicit Parser(std::string_view text) : text_(text) {}

    JsonValue parse_document() {
        JsonValue value = parse_value();
        if (skip_whitespace() != end_of_input) fail_at_peek(trailing_characters);
        return value;
    }

private:
    // Where a fault is reported: at the last byte consumed (fail), or at the byte looked at
    // next (fail_at_peek). Lines and columns are only worked out once something failed.
    [[noreturn]] void fail(const char* message) const { fail_at(index_, message); }
    [[noreturn]] void fail_at_peek(const char* message) const {
        fail_at(std::min(index_ + 1, text_.size()), message);
    }
    [[noreturn]] void fail_at(std::size_t index, const char* message) const {
        const std::string_view before = text_.substr(0, index);
        const std::size_t line =
            1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
        const std::size_t last_newline = before.rfind('\n');
        const std::size_t column =
            last_newline == std::string_view::npos ? index : index - last_newline - 1;
        std::string description(message);
        description += " at line ";
        description += std::to_string(line);
        description += " column ";
        description += std::to_string(column);
        throw JsonParseError(description);
    }

    int peek() const {
        return index_ < text_.size() ? static_cast<unsigned char>(text_[index_]) : end_of_input;
    }

    int skip_whitespace() {
        while (index_ < text_.size()) {
            const char c = text_[index_];
            if (c != ' ' && c != '\n' && c != '\t' && c != '\r')
                return static_cast<unsigned char>(c);
            ++index_;
        }
        return end_of_input;
    }

    JsonValue parse_value() {
        const int c = skip_whitespace();
        switch (c) {
            case end_of_input:
                fail_at_peek(eof_value);
            case 'n':
                ++index_;
                parse_ident("ull");
                return nullptr;
            case 't':
                ++index_;
                parse_ident("rue");
                return true;
            case 'f':
                ++index_;
                parse_ident("alse");
                return false;
            case '-':
                ++index_;
                return parse_number(index_ - 1, true);
            case '"':
                ++index_;
                return parse_string();
            case '[': {
                enter_nested();
                ++index_;
                JsonValue array = parse_array();
                ++remaining_depth_;
                return array;
            }
            case '{': {
                enter_nested();
                ++index_;
                JsonValue object = parse_object();
                ++remaining_depth_;
                return object;
            }
            default:
                if (is_digit(c)) return parse_number(index_, false);
                fail_at_peek(expected_value);
        }
    }

    void enter_nested() {
        if (--remaining_depth_ == 0) fail_at_peek(recursion_limit_exceeded);
    }

    void parse_ident(const char* rest) {
        for (; *rest != '\0'; ++rest) {
            if (index_ == text_.size()) fail(eof_value);
            if (text_[index_++] != *rest) fail(expected_ident);
        }
    }

    JsonValue parse_array() {
        JsonArray items;
        for (bool first = true;; first = false) {
            const int c = skip_whitespace();
            if (c == end_of_input) fail_at_peek(eof_list);
            if (c == ']') break;
            if (!first) {
                if (c != ',') fail_at_peek(expected_list_comma_or_end);
                ++index_;
                const int next = skip_whitespace();
                if (next == ']') fail_at_peek(trailing_comma);
                if (next == end_of_input) fail_at_peek(eof_value);
            }
            items.push_back(parse_value());
        }
        ++index_;  // ']'
        return items;
    }

    JsonValue parse_object() {
        std::vector<JsonObject::Member> members;
        for (bool first = true;; first = false) {
            int c = skip_whitespace();
            if (c == '}') break;
            if (c == ',' && !first) {
                ++index_;
                c = skip_whitespace();
            } else if (c == end_of_input) {
                fail_at_peek(eof_object);
            } else if (!first) {
                fail_at_peek(expected_object_comma_or_end);
            }
            if (c != '"') {
                if (c == '}') fail_at_peek(trailing_comma);
                if (c == end_of_input) fail_at_peek(eof_value);
                fail_at_peek(key_must_be_string);
            }
            ++index_;
            std::string key = parse_string();
            const int colon = skip_whitespace();
            if (colon == end_of_input) fail_at_peek(eof_object);
            if (colon != ':') fail_at_peek(expected_colon);
            ++index_;
            members.emplace_back(std::move(key), parse_value());
        }
        ++index_;  // '}'
        return JsonObject::from_unsorted(std::move(members));
    }

    // After the opening quote; consumes the closing one.
    std::string parse_string() {
        std::string out;
        std::size_t run = index_;
        for (;;) {
            const char* const data = text_.data();
            index_ = static_cast<std::size_t>(find_string_stop(data + index_, data + text_.size()) -
                                              data);
            if (index_ == text_.size()) fail(eof_string);
            const auto c = static_cast<unsigned char>(text_[index_]);
            if (c == '"') {
                out.append(text_.data() + run, index_ - run);
                ++index_;
                return out;
            }
            if (c == '\\') {
                out.append(text_.data() + run, index_ - run);
                ++index_;
                parse_escape(out);
                run = index_;
            } else if (c < 0x20) {
                ++index_;
                fail(control_character);
            } else {
                const std::size_t length = utf8_sequence_length(text_, index_);
                if (length == 0) fail_at_peek(invalid_code_point);
                index_ += length;
            }
        }
    }

    // After the backslash.
    void parse_escape(std::string& out) {
        if (index_ == text_.size()) fail(eof_string);
        switch (text_[index_++]) {
            case '"':
                out.push_back('"');
                break;
            case '\\':
                out.push_back('\\');
                break;
            case '/':
                out.push_back('/');
                break;
            case 'b':
                out.push_back('\b');
                break;
            case 'f':
                out.push_back('\f');
                break;
            case 'n':
                out.push_back('\n');
                break;
            case 'r':
                out.push_back('\r');
                break;
            case 't':
                out.push_back('\t');
                break;
            case 'u':
                parse_unicode_escape(out);
                break;
            default:
                fail(invalid_escape);
        }
    }

    // After "\u". A UTF-16 surrogate pair must come as two escapes, high then low.
    void parse_unicode_escape(std::string& out) {
        const std::uint32_t high = parse_hex4();
        if (high >= 0xDC00 && high <= 0xDFFF) fail(lone_leading_surrogate);
        if (high < 0xD800 || high > 0xDBFF) {
            append_utf8(out, high);
            return;
        }
        for (const char expected : {'\\', 'u'}) {
            if (index_ == text_.size()) fail(eof_string);
            if (text_[index_++] != expected) fail(unexpected_end_of_hex_escape);
        }
        const std::uint32_t low = parse_hex4();
        if (low < 0xDC00 || low > 0xDFFF) fail(lone_leading_surrogate);
        append_utf8(out, 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00));
    }

    std::uint32_t parse_hex4() {
        if (text_.size() - index_ < 4) {
            index_ = text_.size();
            fail(eof_string);
        }
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            const int digit = hex_value(static_cast<unsigned char>(text_[index_++]));
            if (digit < 0) fail(invalid_escape);
            value = value * 16 + static_cast<std::uint32_t>(digit);
        }
        return value;
    }

    // `start` is where the number's text begins (its '-' if negative); index_ is past the '-'.
    JsonValue parse_number(std::size_t start, bool negative) {
        if (index_ == text_.size()) fail(eof_value);
        const char first = text_[index_++];
        if (first == '0') {
            if (is_digit(peek())) fail_at_peek(invalid_number);
        } else if (first >= '1' && first <= '9') {
            while (is_digit(peek())) ++index_;
        } else {
            fail(invalid_number);
        }
        bool integral = true;
        if (peek() == '.') {
            integral = false;
            ++index_;
            const std::size_t digits = index_;
            while (is_digit(peek())) ++index_;
            if (index_ == digits) fail_at_peek(peek() == end_of_input ? eof_value : invalid_number);
        }
        if (peek() == 'e' || peek() == 'E') {
            integral = false;
            ++index_;
            if (peek() == '+' || peek() == '-') ++index_;
            if (index_ == text_.size()) fail(eof_value);
            if (!is_digit(static_cast<unsigned char>(text_[index_++]))) fail(invalid_number);
            while (is_digit(peek())) ++index_;
        }
        const std::string_view number = text_.substr(start, index_ - start);
        return integral ? make_integer(number, negative) : make_double(number);
    }

    static JsonValue make_integer(std::string_view number, bool negative) {
        const std::string_view digits = negative ? number.substr(1) : number;
        std::uint64_t magnitude = 0;
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
        if (error == std::errc{}) {
            if (!negative) return JsonValue::from_unsigned(magnitude);
            constexpr std::uint64_t min_magnitude = std::uint64_t{1} << 63;
            if (magnitude < min_magnitude) {
                return JsonValue::from_signed(-static_cast<std::int64_t>(magnitude));
            }
            if (magnitude == min_magnitude) return JsonValue::from_signed(INT64_MIN);
        }
        // Beyond 64 bits the exact digits are kept rather than rounded to a double.
        return BigInteger{std::string(number)};
    }

    JsonValue make_double(std::string_view number) const {
        double value = 0;
        const auto [end, error] =
            std::from_chars(number.data(), number.data() + number.size(), value);
        if (error == std::errc{}) return JsonValue::from_double(value);
        if (error == std::errc::result_out_of_range && !overflows(number)) {
            // Below the smallest subnormal: the value rounds to zero.
            return JsonValue::from_double(number.front() == '-' ? -0.0 : 0.0);
        }
        fail(number_out_of_range);
    }

    // Whether a number that from_chars found out of range is too large (rather than too small):
    // the decimal exponent of its first significant digit decides.
    static bool overflows(std::string_view number) {
        long long exponent = 0;
        const std::size_t e = number.find_first_of("eE");
        if (e != std::string_view::npos) {
            std::string_view digits = number.substr(e + 1);
            bool negative_exponent = false;
            if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
                negative_exponent = digits.front() == '-';
                digits.remove_prefix(1);
            }
            for (char c : digits) {
                exponent = std::min<long long>(exponent * 10 + (c - '0'), 1'000'000'000);
            }
            if (negative_exponent) exponent = -exponent;
        }
        const std::string_view mantissa = number.substr(0, e);
        const std::size_t point = mantissa.find('.');
        const std::string_view whole = mantissa.substr(0, point);
        const std::size_t first_nonzero = whole.find_first_not_of("-0");
        if (first_nonzero != std::string_view::npos) {
            return exponent + static_cast<long long>(whole.size() - first_nonzero) > 0;
        }
        // 0.000ddd: the first significant digit lies after the point.
        if (point == std::string_view::npos) return false;
        const std::size_t lead = mantissa.find_first_not_of('0', point + 1);
        if (lead == std::string_view::npos) return false;
        return exponent - static_cast<long long>(lead - point - 1) > 0;
    }

    std::string_view text_;
    std::size_t index_ = 0;
    int remaining_depth_ = json_max_depth;
};

}  // namespace

JsonValue parse_json(std::string_view text) { return Parser(text).parse_document(); }

}  // namespace quarl
