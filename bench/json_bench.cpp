// Times the module's JSON writer and parser against RapidJSON on the same documents in the same
// run, and prints the ratios ours / RapidJSON (lower is better for us).
//
// Two documents are generated in-process:
//   - string-heavy (~50 MB of text): shaped like an inspection report, an array of asset records
//     whose source strings are long and hold newlines, tabs, quotes, backslashes, the odd control
//     character and non-ASCII text;
//   - number-heavy: rows of unsigned and negative integers and doubles of every magnitude.
// Each timing is the median of interleaved repeats (ours, theirs, ours, theirs, ...) so that both
// sides see the same machine state. A half-size copy of each document checks that the time grows
// linearly with the size.
//
// Build and run: make bench-json

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "json/json_parser.hpp"
#include "json/json_value.hpp"
#include "json/json_writer.hpp"

namespace {

using quarl::JsonArray;
using quarl::JsonObject;
using quarl::JsonValue;
using Clock = std::chrono::steady_clock;

// splitmix64: a fixed sequence, so every run measures the same documents.
struct Random {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint64_t below(std::uint64_t n) { return next() % n; }
    double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
};

// ---------------------------------------------------------------------------------------------
// Documents

const char* const code_words[] = {
    "def", "return", "for", "in", "if", "else:", "import", "from", "with", "as", "value",
    "rows", "frame", "ticker", "price", "self", "None", "True", "len(rows)", "sum(values)",
    "\"AAPL\"", "'MSFT'", "\"caf\xc3\xa9\"", "'\xe2\x82\xac'", "\"\xe6\x97\xa5\xe6\x9c\xac\"",
    "# r\xc3\xa9sum\xc3\xa9 \xe2\x86\x92 total", "\"\\\\d+\"", "r'\\s*'", "\"\xf0\x9f\x93\x88\"",
    "{\"k\": 1}", "x[0]", "==", "+=", "lambda", "yield", "await", "async", "print(f\"{x!r}\")",
};

std::string source_text(Random& random, std::size_t target) {
    std::string out = "@asset(partitions={\"d\": partitions([\"a\", \"b\"])})\ndef asset_";
    out += std::to_string(random.next() % 100000);
    out += "(d: str) -> dict:\n";
    int indent = 1;
    while (out.size() < target) {
        out.append(static_cast<std::size_t>(indent) * 4, ' ');
        const auto words = 3 + random.below(9);
        for (std::uint64_t w = 0; w < words; ++w) {
            if (w) out.push_back(' ');
            out += code_words[random.below(std::size(code_words))];
        }
        if (random.below(40) == 0) out.push_back('\t');
        if (random.below(400) == 0) out.push_back('\x01');  // written as \u0001
        if (random.below(300) == 0) out += "\r";
        out.push_back('\n');
        indent = std::clamp(indent + static_cast<int>(random.below(3)) - 1, 1, 5);
    }
    return out;
}

JsonValue asset_record(Random& random, std::size_t index) {
    const std::string module = "project.assets.group_" + std::to_string(index % 97);
    const std::string function = "asset_" + std::to_string(index);
    JsonObject partitions;
    JsonObject dimension;
    dimension.set("values_json", "[\"AAPL\",\"MSFT\",\"GOOG\",\"caf\xc3\xa9\"]");
    partitions.set("ticker", JsonValue(std::move(dimension)));
    JsonObject inputs;
    for (std::uint64_t i = 0, n = random.below(4); i < n; ++i) {
        JsonObject reference;
        reference.set("module", module);
        reference.set("function_name", "upstream_" + std::to_string(random.below(1000)));
        inputs.set("input_" + std::to_string(i), JsonValue(std::move(reference)));
    }
    JsonObject metadata;
    metadata.set("name", module + ":" + function);
    metadata.set("serializer", nullptr);
    metadata.set("inputs", JsonValue(std::move(inputs)));
    metadata.set("partitions", JsonValue(std::move(partitions)));

    JsonObject record;
    record.set("kind", "asset");
    record.set("module", module);
    record.set("function_name", function);
    record.set("qualname", function);
    record.set("source_file",
               "/home/user/project/assets/group_" + std::to_string(index % 97) + ".py");
    record.set("source", source_text(random, 1500 + random.below(7000)));
    record.set("return_annotation", random.below(2) ? JsonValue("dict[str, float]") : JsonValue());
    record.set("line", JsonValue::from_unsigned(1 + random.below(2000)));
    record.set("metadata", JsonValue(std::move(metadata)));
    return JsonValue(std::move(record));
}

JsonValue string_document(std::size_t target_bytes) {
    Random random{42};
    JsonArray assets;
    // An average record writes out to about 5.85 KB.
    const std::size_t count = target_bytes / 5850;
    assets.reserve(count);
    for (std::size_t i = 0; i < count; ++i) assets.push_back(asset_record(random, i));
    JsonObject report;
    report.set("version", JsonValue::from_unsigned(1));
    report.set("assets", JsonValue(std::move(assets)));
    report.set("skipped", JsonValue(JsonArray{}));
    return JsonValue(std::move(report));
}

double random_double(Random& random) {
    switch (random.below(4)) {
        case 0:  // prices: two decimals
            return static_cast<double>(random.below(10'000'000)) / 100.0;
        case 1:  // ratios in (0, 1)
            return random.unit();
        case 2: {  // any magnitude, full 17-digit mantissas
            const int exponent = static_cast<int>(random.below(80)) - 40;
            const double value = (random.unit() + 0.5) * std::pow(10.0, exponent);
            return random.below(2) ? -value : value;
        }
        default:  // small measurements with short decimals
            return static_cast<double>(static_cast<std::int64_t>(random.below(2'000'001)) -
                                       1'000'000) /
                   1000.0;
    }
}

JsonValue number_document(std::size_t rows) {
    Random random{7};
    JsonArray table;
    table.reserve(rows);
    for (std::size_t r = 0; r < rows; ++r) {
        JsonArray row;
        row.reserve(12);
        row.push_back(JsonValue::from_unsigned(r));
        row.push_back(JsonValue::from_unsigned(random.next()));
        row.push_back(JsonValue::from_unsigned(random.below(1000)));
        const auto negative = -static_cast<std::int64_t>(random.below(1'000'000'000));
        row.push_back(JsonValue::from_signed(negative));
        for (int k = 0; k < 8; ++k) row.push_back(JsonValue::from_double(random_double(random)));
        table.push_back(JsonValue(std::move(row)));
    }
    return JsonValue(std::move(table));
}

// The same tree as a RapidJSON document, members in the same (sorted) order.
struct ToRapid {
    rapidjson::Document::AllocatorType& allocator;

    rapidjson::Value operator()(std::nullptr_t) const { return rapidjson::Value(); }
    rapidjson::Value operator()(bool value) const { return rapidjson::Value(value); }
    rapidjson::Value operator()(std::uint64_t value) const { return rapidjson::Value(value); }
    rapidjson::Value operator()(std::int64_t value) const { return rapidjson::Value(value); }
    rapidjson::Value operator()(const quarl::BigInteger&) const {
        std::fputs("benchmark documents hold no integers beyond 64 bits\n", stderr);
        std::abort();
    }
    rapidjson::Value operator()(double value) const { return rapidjson::Value(value); }
    rapidjson::Value operator()(const std::string& value) const {
        return rapidjson::Value(value.data(), static_cast<rapidjson::SizeType>(value.size()),
                                allocator);
    }
    rapidjson::Value operator()(const quarl::SharedText& value) const {
        return (*this)(value.text());
    }
    rapidjson::Value operator()(const JsonArray& items) const {
        rapidjson::Value array(rapidjson::kArrayType);
        array.Reserve(static_cast<rapidjson::SizeType>(items.size()), allocator);
        for (const JsonValue& item : items) {
            array.PushBack(std::visit(*this, item.storage()), allocator);
        }
        return array;
    }
    rapidjson::Value operator()(const JsonObject& object) const {
        rapidjson::Value out(rapidjson::kObjectType);
        for (const auto& [key, value] : object.members()) {
            rapidjson::Value name(key.data(), static_cast<rapidjson::SizeType>(key.size()),
                                  allocator);
            out.AddMember(name, std::visit(*this, value.storage()), allocator);
        }
        return out;
    }
};

// ---------------------------------------------------------------------------------------------
// Timing

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    return n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
}

std::size_t sink = 0;  // keeps results observable so that no timed work is dropped

struct Pair {
    double ours;
    double theirs;
};

// Runs the two bodies alternately (swapping which goes first each round) and returns the medians.
Pair interleaved(int repeats, const std::function<double()>& ours,
                 const std::function<double()>& theirs) {
    std::vector<double> a, b;
    for (int r = 0; r < repeats; ++r) {
        if (r % 2 == 0) {
            a.push_back(ours());
            b.push_back(theirs());
        } else {
            b.push_back(theirs());
            a.push_back(ours());
        }
    }
    return {median(a), median(b)};
}

double time_our_writer(const JsonValue& value) {
    const auto start = Clock::now();
    const std::string text = quarl::write_json(value);
    const double elapsed = seconds_since(start);
    sink += text.size();
    return elapsed;
}

double time_our_writer_into(const JsonValue& value, std::string& out) {
    out.clear();
    const auto start = Clock::now();
    quarl::write_json(value, out);
    const double elapsed = seconds_since(start);
    sink += out.size();
    return elapsed;
}

double time_rapid_writer(const rapidjson::Document& document) {
    const auto start = Clock::now();
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    document.Accept(writer);
    const double elapsed = seconds_since(start);
    sink += buffer.GetSize();
    return elapsed;
}

double time_our_parser(const std::string& text) {
    const auto start = Clock::now();
    JsonValue value = quarl::parse_json(text);
    const double elapsed = seconds_since(start);
    sink += value.get_if<JsonArray>() != nullptr;
    return elapsed;  // the tree is freed outside the timed part, as RapidJSON's is
}

template <unsigned Flags>
double time_rapid_parser(const std::string& text) {
    rapidjson::Document document;
    const auto start = Clock::now();
    document.Parse<Flags>(text.data(), text.size());
    const double elapsed = seconds_since(start);
    if (document.HasParseError()) {
        std::fprintf(stderr, "RapidJSON refused the benchmark text (error %d at offset %zu)\n",
                     static_cast<int>(document.GetParseError()), document.GetErrorOffset());
        std::exit(1);
    }
    sink += document.IsArray();
    return elapsed;
}

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "check failed: %s\n", what);
        std::exit(1);
    }
}

void run(const char* name, const JsonValue& value, const JsonValue& half, int repeats) {
    rapidjson::Document document;
    rapidjson::Value root = std::visit(ToRapid{document.GetAllocator()}, value.storage());
    static_cast<rapidjson::Value&>(document) = root;  // RapidJSON's assignment moves

    const std::string text = quarl::write_json(value);
    const std::string half_text = quarl::write_json(half);
    rapidjson::StringBuffer rapid_text;
    {
        rapidjson::Writer<rapidjson::StringBuffer> writer(rapid_text);
        document.Accept(writer);
    }
    // Both writers wrote the same tree: each text must read back to it.
    check(quarl::parse_json(text) == value, "our text reads back to the document");
    const std::string_view rapid_view(rapid_text.GetString(), rapid_text.GetSize());
    check(quarl::parse_json(rapid_view) == value, "RapidJSON's text reads back to the document");

    std::printf(
        "\n%s document: %.1f MB of text (RapidJSON's text: %.1f MB), %d interleaved repeats\n",
        name, text.size() / 1e6, rapid_text.GetSize() / 1e6, repeats);

    const Pair write = interleaved(
        repeats, [&] { return time_our_writer(value); },
        [&] { return time_rapid_writer(document); });
    const Pair parse = interleaved(
        repeats, [&] { return time_our_parser(text); },
        [&] { return time_rapid_parser<rapidjson::kParseFullPrecisionFlag>(text); });
    const Pair parse_fast = interleaved(
        repeats, [&] { return time_our_parser(text); },
        [&] { return time_rapid_parser<rapidjson::kParseDefaultFlags>(text); });

    const auto line = [&](const char* what, const Pair& p) {
        std::printf("  %-40s ours %7.1f ms  RapidJSON %7.1f ms  ratio %5.2fx  (ours %4.0f MB/s)\n",
                    what, p.ours * 1e3, p.theirs * 1e3, p.ours / p.theirs,
                    text.size() / 1e6 / p.ours);
    };
    line("writer (Writer<StringBuffer>)", write);
    line("parser (Parse, full-precision numbers)", parse);
    line("parser (Parse, default flags)", parse_fast);

    // Linear growth: the full document against one of half its size. The writer is timed twice:
    // into a fresh string, which adds the cost of fresh pages (and so depends on what the
    // allocator has at hand), and into a string that already has the room, which is its own work.
    std::string room_full, room_half;
    room_full.reserve(text.size());
    room_half.reserve(half_text.size());
    std::vector<double> write_half, write_full, into_half, into_full, parse_half, parse_full;
    for (int r = 0; r < repeats; ++r) {
        write_half.push_back(time_our_writer(half));
        write_full.push_back(time_our_writer(value));
        into_half.push_back(time_our_writer_into(half, room_half));
        into_full.push_back(time_our_writer_into(value, room_full));
        parse_half.push_back(time_our_parser(half_text));
        parse_full.push_back(time_our_parser(text));
    }
    const auto growth = [](const std::vector<double>& full, const std::vector<double>& half) {
        return median(full) / median(half);
    };
    std::printf(
        "  scaling, full/half size (text %.2fx): writer %.2fx (into reserved room %.2fx), "
        "parser %.2fx\n",
        static_cast<double>(text.size()) / half_text.size(), growth(write_full, write_half),
        growth(into_full, into_half), growth(parse_full, parse_half));
}

}  // namespace

int main(int argc, char** argv) {
    const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
    {
        const JsonValue value = string_document(50'000'000);
        const JsonValue half = string_document(25'000'000);
        run("string-heavy", value, half, repeats);
    }
    {
        const JsonValue value = number_document(300'000);
        const JsonValue half = number_document(150'000);
        run("number-heavy", value, half, repeats);
    }
    return sink == 0 ? 1 : 0;  // reading sink keeps the timed results alive
}
