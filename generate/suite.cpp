#include "generate/suite.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace elutrix::generate {

namespace {

namespace fs = std::filesystem;

bool is_folder(const fs::path& path) {
    std::error_code error;
    return fs::is_directory(path, error);
}

// Names of suites: letters, digits, '_' and '-', so that a name cannot
// reach out of the folder.
bool plain_name(std::string_view name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    });
}

}  // namespace

std::string suites_folder() {
    if (const char* given = std::getenv("ELUTRIX_SUITES"); given && *given) return given;
    std::error_code error;
    const fs::path program = fs::read_symlink("/proc/self/exe", error);
    if (!error) {
        const fs::path installed = program.parent_path().parent_path() / "share" / "elutrix" / "suites";
        if (is_folder(installed)) return installed.string();
    }
#ifdef ELUTRIX_SOURCE_SUITES
    if (is_folder(ELUTRIX_SOURCE_SUITES)) return ELUTRIX_SOURCE_SUITES;
#endif
    return {};
}

std::vector<std::string> suite_names(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
        const fs::path path = entry.path();
        if (path.extension() == ".json" && plain_name(path.stem().string())) names.push_back(path.stem().string());
    }
    names.push_back("all");
    std::sort(names.begin(), names.end());
    return names;
}

SuiteSources suite_sources(std::string_view name, const std::string& folder) {
    SuiteSources out;
    if (folder.empty()) {
        out.error = "no suites folder was found (set ELUTRIX_SUITES to the folder suites/ of the sources)";
        return out;
    }
    std::vector<std::string> names;
    if (name == "all") {
        std::ifstream list(fs::path(folder) / "all.txt");
        if (!list) {
            out.error = "the list of suites " + (fs::path(folder) / "all.txt").string() + " cannot be read";
            return out;
        }
        for (std::string line; std::getline(list, line);) {
            line.erase(std::find_if(line.rbegin(), line.rend(), [](char c) { return c != ' ' && c != '\r'; }).base(),
                       line.end());
            if (!line.empty() && line[0] != '#') names.push_back(line);
        }
    } else {
        // "resolution,noise": both suites.
        for (std::size_t start = 0; start <= name.size();) {
            const std::size_t comma = std::min(name.find(',', start), name.size());
            names.emplace_back(name.substr(start, comma - start));
            start = comma + 1;
        }
    }
    for (const std::string& suite : names) {
        const fs::path path = fs::path(folder) / (suite + ".json");
        if (!plain_name(suite) || !fs::is_regular_file(path)) {
            std::string known;
            for (const std::string& n : suite_names(folder)) known += (known.empty() ? "" : ", ") + n;
            out.error = "no suite named \"" + suite + "\" in " + folder + " (there are: " + known + ")";
            out.sources.clear();
            return out;
        }
        out.sources.push_back({"suites/" + suite + ".json", read_scenario_file(path.string())});
    }
    return out;
}

std::vector<ScenarioSource> batch_sources(const std::string& suite, const std::vector<std::string>& files,
                                          std::string& error) {
    std::vector<ScenarioSource> sources;
    if (!suite.empty()) {
        SuiteSources found = suite_sources(suite, suites_folder());
        if (!found.error.empty()) {
            error = found.error;
            return {};
        }
        sources = std::move(found.sources);
    }
    for (const std::string& path : files) sources.push_back({path, read_scenario_file(path)});
    return sources;
}

}  // namespace elutrix::generate
