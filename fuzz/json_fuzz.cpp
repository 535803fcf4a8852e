// libFuzzer target for the JSON parser and writer. Every input must either fail with one of the
// parser's descriptions or parse; what parses must write out, parse back to the same tree and
// write out to the same text again. Anything else (another exception, a sanitizer report, a
// broken round trip) stops the fuzzer with the input saved.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "json_roundtrip.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const quarl::fuzz::Outcome outcome = quarl::fuzz::check_text(text);
    if (!outcome.problem.empty()) {
        std::fprintf(stderr, "json_fuzz: %s\n", outcome.problem.c_str());
        std::abort();
    }
    return 0;
}
