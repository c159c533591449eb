// The program's start and end: the application, the main window and the
// event loop, with nothing thrown out of them.
#pragma once

#include <QString>
#include <functional>

namespace elutrix::ui {

class MainWindow;

// What the program runs with beyond the window itself; tests drive it
// through these.
struct ProgramHooks {
    // Called with the shown window once the event loop runs.
    std::function<void(MainWindow&)> started;
    // Shows why the program cannot run, where the toolkit still works; a
    // modal message box when not given.
    std::function<void(const QString& text)> show_failure;
};

// The lines written to standard error when the program cannot start for want
// of memory, and when memory runs out inside the toolkit's own work (its
// painting, say) while the program runs: the toolkit cannot be trusted to go
// on after that, so the program ends.
inline constexpr char start_memory_failure[] = "Elutrix cannot start: there is not enough memory.";
inline constexpr char run_memory_failure[] = "Elutrix stopped: there is not enough memory.";

// Runs the program and returns its exit status. When it cannot start or
// fails on its way, it writes one line to standard error, shows it in a
// message box where the toolkit still works, and returns a non-zero status.
int run_program(int& argc, char** argv, const ProgramHooks& hooks = {});

}  // namespace elutrix::ui
