// elutrix-generate: synthetic chromatograms with their ground truth, from
// scenario files, in batches.
#include <unistd.h>

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

namespace {

constexpr const char* usage =
    "Usage: elutrix-generate [--out DIR] [--replicates N] [--format xy|csv|andi] [--components] [--quiet] FILE...\n";

constexpr const char* help =
    "Makes synthetic chromatograms with their ground truth from scenario files (JSON).\n"
    "Every run writes NAME.xy (the data file the window writes), NAME.peaks.csv (the\n"
    "ground truth of every peak) and NAME.json (the run's record); replicates are\n"
    "NAME_0001.xy and so on. manifest.csv lists every run, its files and its status.\n"
    "\n"
    "  --out DIR         write into DIR, made when missing (default: the current folder)\n"
    "  --replicates N    N runs of every scenario, in place of its \"replicates\"\n"
    "  --format F        the data file's form: xy (NAME.xy, the default), csv (NAME.csv,\n"
    "                    a header line and LF line ends) or andi (NAME.cdf, the\n"
    "                    chromatography interchange file with the ground truth as\n"
    "                    its peak table)\n"
    "  --components      also write NAME.components.csv: time, response, noise-free\n"
    "                    signal, baseline and every component's own term\n"
    "  --quiet           no progress bar (it is shown only on a terminal)\n"
    "  --help            this text\n"
    "  --version         the program's version\n"
    "\n"
    "The exit status is 0 when every scenario was written, 1 when one was not\n"
    "(each is reported on standard error), 2 for a wrong command line.\n";

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
    elutrix::generate::BatchOptions options;
    bool quiet = false;
    bool options_end = false;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (options_end || arg.empty() || arg[0] != '-' || arg == "-") {
            files.emplace_back(arg);
            continue;
        }
        // --out DIR and --out=DIR alike.
        const std::size_t equals = arg.find('=');
        const std::string_view option = arg.substr(0, equals);
        const auto value = [&](std::string_view& out) {
            if (equals != std::string_view::npos) {
                out = arg.substr(equals + 1);
                return true;
            }
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string_view v;
        if (option == "--") {
            options_end = true;
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(usage, stdout);
            std::fputs(help, stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("elutrix-generate %s\n", elutrix::program_version);
            return 0;
        } else if (arg == "--components") {
            options.components = true;
        } else if (arg == "--quiet") {
            quiet = true;
        } else if (option == "--out") {
            if (!value(v) || v.empty()) return usage_error("--out needs a folder");
            options.out_dir = std::string(v);
        } else if (option == "--format") {
            std::optional<elutrix::generate::DataFormat> format;
            if (value(v)) format = elutrix::generate::data_format_named(v);
            if (!format) return usage_error("--format needs xy, csv or andi");
            options.format = *format;
        } else if (option == "--replicates") {
            int n = 0;
            if (!value(v) || !parse_count(v, n)) {
                return usage_error("--replicates needs a whole number from 1 to " +
                                   std::to_string(elutrix::generate::max_replicates));
            }
            options.replicates = n;
        } else {
            return usage_error("unknown option " + std::string(arg));
        }
    }
    if (files.empty()) return usage_error("no scenario file given");

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
    const elutrix::generate::BatchReport report = elutrix::generate::run_batch(files, options);
    if (bar) std::fputc('\n', stderr);
    for (const std::string& failure : report.failures) std::fprintf(stderr, "elutrix-generate: %s\n", failure.c_str());
    return report.ok() ? 0 : 1;
}
