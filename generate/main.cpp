// elutrix-generate: synthetic chromatograms with their ground truth, from
// scenario files, in batches.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/version.h"
#include "generate/batch.h"
#include "generate/progress_bar.h"
#include "generate/suite.h"

namespace {

constexpr const char* usage =
    "Usage: elutrix-generate [--out DIR] [--replicates N] [--format xy|csv|andi|dataset] [--compress] [--components]\n"
    "                        [--quiet] FILE...\n"
    "       elutrix-generate --suite NAME [--out DIR] [options] [FILE...]\n";

constexpr const char* help_intro =
    "Makes synthetic chromatograms with their ground truth from scenario files (JSON).\n"
    "Every run writes NAME.xy (the data file the window writes), NAME.peaks.csv (the\n"
    "ground truth of every peak) and NAME.json (the run's record); replicates are\n"
    "NAME_0001.xy and so on. manifest.csv lists every run, its files and its status.\n"
    "With --format dataset every scenario writes one NAME.nc holding all its runs.\n"
    "\n";

constexpr const char* help_outro =
    "\n"
    "The exit status is 0 when every scenario was written, 1 when one was not\n"
    "(each is reported on standard error), 2 for a wrong command line.\n";

// The option list of --help, from the parser's own declarations: each
// option with its value's name, its text wrapped beside it.
std::string option_list(const CLI::App& app) {
    constexpr std::size_t column = 22, width = 80;
    std::string out;
    for (const CLI::Option* option : app.get_options()) {
        if (option->get_positional()) continue;
        std::string line = "  " + option->get_name(false, true);
        if (!option->get_option_text().empty()) line += " " + option->get_option_text();
        line += std::string(line.size() + 1 < column ? column - line.size() : 1, ' ');
        std::size_t written = 0;
        std::string_view text = option->get_description();
        while (!text.empty()) {
            std::size_t room = width - line.size() - 1, cut = text.size();
            if (cut > room) {
                cut = text.rfind(' ', room);
                if (cut == std::string_view::npos || cut == 0) cut = room;
            }
            line += text.substr(0, cut);
            out += line + "\n";
            text.remove_prefix(std::min(text.size(), cut + (cut < text.size() && text[cut] == ' ' ? 1 : 0)));
            line = std::string(column, ' ');
            ++written;
        }
        if (written == 0) out += line + "\n";
    }
    return out;
}

int usage_error(const std::string& message) {
    std::fprintf(stderr, "elutrix-generate: %s\n%sTry 'elutrix-generate --help'.\n", message.c_str(), usage);
    return 2;
}

bool parse_count(std::string_view text, int& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value >= 1 &&
           value <= elutrix::generate::max_replicates;
}

}  // namespace

int main(int argc, char** argv) {
    // Every option is declared once, here: the parser reads them and --help
    // lists them from these declarations (the manual page's list is checked
    // against --help by a test). Values are taken as texts and checked below,
    // so that every wrong value gets its own message.
    CLI::App app{"", "elutrix-generate"};
    app.allow_extras();  // unknown options are reported below, by name
    std::string out_dir, format_name, replicates_text, precision_name, suite;
    bool components = false, compress = false, quiet = false, version = false;
    std::vector<std::string> files;
    const auto valued = [&app](const char* name, std::string& value, const char* value_name, const char* text) {
        // Given without a value (at the end), it holds an empty text; given twice, the last counts.
        return app.add_option(name, value, text)
            ->expected(0, 1)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
            ->option_text(value_name);
    };
    CLI::Option* out_option =
        valued("--out", out_dir, "DIR", "write into DIR, made when missing (default: the current folder)");
    CLI::Option* replicates_option = valued("--replicates", replicates_text, "N",
                                            "N runs of every scenario, in place of its \"replicates\"");
    CLI::Option* format_option = valued(
        "--format", format_name, "F",
        "the data file's form: xy (NAME.xy, the default), csv (NAME.csv, a header line and LF line ends), andi "
        "(NAME.cdf, the chromatography interchange file with the ground truth as its peak table) or dataset (one "
        "NAME.nc per scenario, a netCDF-4 file with every replicate's response, seed and ground truth, and no file "
        "per run)");
    CLI::Option* precision_option = valued(
        "--andi-precision", precision_name, "P",
        "the numbers of an interchange file: float (the default, typed as the template types them, which the "
        "format's readers expect) or double (the run's values bit for bit, for readers that accept doubles)");
    CLI::Option* suite_option = valued(
        "--suite", suite, "NAME",
        "also run the benchmark suite NAME (resolution, noise, tailing, baseline, realistic, all, or a list such as "
        "resolution,noise), its scenarios seeded");
    app.add_flag("--components", components,
                 "also write NAME.components.csv: time, response, noise-free signal, baseline and every "
                 "component's own term");
    app.add_flag("--compress", compress,
                 "compress a dataset file (zlib level 1 with byte shuffling): smaller with a noise-free signal, "
                 "seldom by a tenth with noise, and slower to write");
    app.add_flag("--quiet", quiet, "no progress bar (it is shown only on a terminal)");
    app.set_help_flag("-h,--help", "this text");
    app.add_flag("--version", version, "the program's version");
    app.add_option("FILE", files, "scenario files");

    // Everything after "--" is a file, whatever it looks like; the parser
    // sees only what comes before (it takes its arguments last first).
    std::vector<std::string> arguments(argv + 1, argv + argc), after_end;
    const auto end_of_options = std::find(arguments.begin(), arguments.end(), "--");
    if (end_of_options != arguments.end()) {
        after_end.assign(end_of_options + 1, arguments.end());
        arguments.erase(end_of_options, arguments.end());
    }
    // "--out=" gives --out an empty value (the parser would take the next
    // argument instead), so that it gets its own message; an option without
    // a value, such as --quiet, takes none in this form either.
    for (std::size_t k = 0; k < arguments.size(); ++k) {
        const std::string& argument = arguments[k];
        const std::size_t equals = argument.find('=');
        if (!argument.starts_with("--") || equals == std::string::npos) continue;
        const CLI::Option* option = app.get_option_no_throw(argument.substr(0, equals));
        if (option == nullptr) continue;
        if (option->get_expected_max() == 0) return usage_error("unknown option " + argument);
        if (equals + 1 == argument.size()) {
            arguments[k].pop_back();
            arguments.insert(arguments.begin() + static_cast<std::ptrdiff_t>(k) + 1, std::string());
            ++k;
        }
    }
    std::reverse(arguments.begin(), arguments.end());
    try {
        app.parse(arguments);
    } catch (const CLI::CallForHelp&) {
        std::fputs(usage, stdout);
        std::fputs(help_intro, stdout);
        std::fputs(option_list(app).c_str(), stdout);
        std::fputs(help_outro, stdout);
        return 0;
    } catch (const CLI::ParseError& error) {
        return usage_error(error.what());
    }
    if (!app.remaining().empty()) return usage_error("unknown option " + app.remaining().front());
    files.insert(files.end(), after_end.begin(), after_end.end());
    if (version) {
        std::printf("elutrix-generate %s\n", elutrix::program_version);
        return 0;
    }

    elutrix::generate::BatchOptions options;
    options.components = components;
    if (out_option->count() > 0) {
        if (out_dir.empty()) return usage_error("--out needs a folder");
        options.out_dir = out_dir;
    }
    if (format_option->count() > 0) {
        const std::optional<elutrix::generate::DataFormat> format = elutrix::generate::data_format_named(format_name);
        if (!format) return usage_error("--format needs xy, csv, andi or dataset");
        options.format = *format;
    }
    if (compress) {
        if (options.format != elutrix::generate::DataFormat::dataset) return usage_error("--compress is for --format dataset");
        options.compress = 1;
    }
    if (precision_option->count() > 0) {
        const std::optional<elutrix::AndiPrecision> precision =
            elutrix::generate::andi_precision_named(precision_name);
        if (!precision) return usage_error("--andi-precision needs float or double");
        options.andi_precision = *precision;
    }
    if (replicates_option->count() > 0) {
        int n = 0;
        if (!parse_count(replicates_text, n)) {
            return usage_error("--replicates needs a whole number from 1 to " +
                               std::to_string(elutrix::generate::max_replicates));
        }
        options.replicates = n;
    }
    if (suite_option->count() > 0 && suite.empty()) return usage_error("--suite needs a suite's name");
    if (files.empty() && suite.empty()) return usage_error("no scenario file given");
    std::string suite_error;
    const std::vector<elutrix::generate::ScenarioSource> sources =
        elutrix::generate::batch_sources(suite, files, suite_error);
    if (!suite_error.empty()) return usage_error(suite_error);

    // The bar goes to standard error while that is a terminal.
    const bool bar = !quiet && ::isatty(STDERR_FILENO) == 1;
    const auto start = std::chrono::steady_clock::now();
    if (bar) {
        options.progress = [start](std::size_t done, std::size_t total) {
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            // Back to the line's start, and the rest of the old line cleared.
            const std::size_t columns = elutrix::generate::terminal_columns(STDERR_FILENO);
            std::fprintf(stderr, "\r%s\033[K", elutrix::generate::progress_line(done, total, seconds, columns).c_str());
            std::fflush(stderr);
        };
    }
    const elutrix::generate::BatchReport report = elutrix::generate::run_batch(sources, options);
    if (bar) std::fputc('\n', stderr);
    for (const std::string& warning : report.warnings) std::fprintf(stderr, "elutrix-generate: warning: %s\n", warning.c_str());
    for (const std::string& failure : report.failures) std::fprintf(stderr, "elutrix-generate: %s\n", failure.c_str());
    return report.ok() ? 0 : 1;
}
