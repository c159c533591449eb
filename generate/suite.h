// Benchmark suites: named, versioned sets of scenarios kept with the program
// (the folder suites/ of the source tree, installed to share/elutrix/suites),
// seeded, so that every user makes the same files byte for byte.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "generate/batch.h"

namespace elutrix::generate {

// The folder the suites are read from: ELUTRIX_SUITES when set, else
// share/elutrix/suites beside the installed program, else the source tree's
// suites/ (for a program run from its build folder). Empty when none exists.
std::string suites_folder();

// The suites a name stands for: NAME.json of the suites folder, for a list
// "NAME,NAME" each of them, and for "all" every suite that suites/all.txt
// lists.
struct SuiteSources {
    std::string error;  // why the name cannot be run: unknown, unreadable
    std::vector<ScenarioSource> sources;
};

// The scenario files of suite name from folder. The manifest names each
// file as suites/NAME.json wherever the folder lies, so that it is the same
// for every user.
SuiteSources suite_sources(std::string_view name, const std::string& folder);

// The names the folder offers: every NAME.json and "all".
std::vector<std::string> suite_names(const std::string& folder);

// What a command line asks to run: the suite named (when given) from
// suites_folder(), then the scenario files. error says why the suite
// cannot be run.
std::vector<ScenarioSource> batch_sources(const std::string& suite, const std::vector<std::string>& files,
                                          std::string& error);

}  // namespace elutrix::generate
