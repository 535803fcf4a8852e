// The JSON parser against two fixed sets of inputs, run by `make fuzz` before fuzzing:
//
//   json_suite_check CONFORMANCE_JSON TEST_PARSING_DIR [SEED_DIR]
//
// CONFORMANCE_JSON is an array of {"text": ..., "error": DESCRIPTION} or {"text": ..., "ok": true}:
// each text must fail with exactly that description, or parse. In TEST_PARSING_DIR every y_*.json
// must parse and every n_*.json must fail; i_*.json may do either. Every input must also pass the
// fuzz target's own checks (a known description, or a stable round trip). With SEED_DIR, the
// conformance texts are written there, one file each, as seeds for the fuzzer.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "json_roundtrip.hpp"

namespace {

namespace fs = std::filesystem;
using quarl::JsonValue;

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Tally {
    int passed = 0;
    int failed = 0;

    void record(const std::string& name, const std::string& problem) {
        if (problem.empty()) {
            ++passed;
        } else {
            ++failed;
            std::cout << "FAIL " << name << ": " << problem << '\n';
        }
    }
};

// What is wrong with the outcome of one conformance case, or "".
std::string judge_conformance(const quarl::fuzz::Outcome& outcome, const JsonValue& expected) {
    if (!outcome.problem.empty()) return outcome.problem;
    if (const auto* error = expected.get_if<std::string>()) {
        if (outcome.parsed) return "parsed; expected \"" + *error + "\"";
        if (outcome.description != *error) {
            return "failed with \"" + outcome.description + "\"; expected \"" + *error + "\"";
        }
        return "";
    }
    if (!outcome.parsed) return "failed with \"" + outcome.description + "\"; expected to parse";
    return "";
}

void check_conformance(const fs::path& file, const fs::path* seed_dir, Tally& tally) {
    const JsonValue cases = quarl::parse_json(read_file(file));
    const auto* list = cases.get_if<quarl::JsonArray>();
    if (list == nullptr) throw std::runtime_error(file.string() + " is not a JSON array");
    for (std::size_t i = 0; i < list->size(); ++i) {
        const auto* object = (*list)[i].get_if<quarl::JsonObject>();
        const JsonValue* text = object != nullptr ? object->find("text") : nullptr;
        const JsonValue* error = object != nullptr ? object->find("error") : nullptr;
        const JsonValue* ok = object != nullptr ? object->find("ok") : nullptr;
        const std::string name = file.filename().string() + "[" + std::to_string(i) + "]";
        if (text == nullptr || text->get_if<std::string>() == nullptr ||
            (error == nullptr) == (ok == nullptr)) {
            tally.record(name, "not a case: needs \"text\" and one of \"error\" and \"ok\"");
            continue;
        }
        const std::string& input = *text->get_if<std::string>();
        tally.record(name, judge_conformance(quarl::fuzz::check_text(input),
                                             error != nullptr ? *error : *ok));
        if (seed_dir != nullptr) {
            std::ostringstream seed_name;
            seed_name << "conformance-" << i << ".json";
            std::ofstream(*seed_dir / seed_name.str(), std::ios::binary) << input;
        }
    }
}

void check_test_parsing(const fs::path& dir, Tally& tally) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.is_regular_file() && entry.path().extension() == ".json") {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    if (files.empty()) throw std::runtime_error("no .json files in " + dir.string());
    for (const fs::path& path : files) {
        const std::string name = path.filename().string();
        const quarl::fuzz::Outcome outcome = quarl::fuzz::check_text(read_file(path));
        std::string problem = outcome.problem;
        if (problem.empty() && name.starts_with("y_") && !outcome.parsed) {
            problem = "failed with \"" + outcome.description + "\"; expected to parse";
        } else if (problem.empty() && name.starts_with("n_") && outcome.parsed) {
            problem = "parsed; expected to fail";
        }
        tally.record(name, problem);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        std::cerr << "usage: json_suite_check CONFORMANCE_JSON TEST_PARSING_DIR [SEED_DIR]\n";
        return 2;
    }
    try {
        const fs::path seed_dir = argc == 4 ? fs::path(argv[3]) : fs::path();
        if (argc == 4) fs::create_directories(seed_dir);
        Tally tally;
        check_conformance(argv[1], argc == 4 ? &seed_dir : nullptr, tally);
        check_test_parsing(argv[2], tally);
        std::cout << "json_suite_check: " << tally.passed << " passed, " << tally.failed
                  << " failed\n";
        return tally.failed == 0 ? 0 : 1;
    } catch (const std::exception& error) {
        std::cerr << "json_suite_check: " << error.what() << '\n';
        return 2;
    }
}
