#include "ui/program.h"

#include <QApplication>
#include <QFontDatabase>
#include <QMessageBox>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <new>
#include <thread>

#include <malloc.h>
#include <sys/mman.h>
#include <sys/resource.h>

#include "engine/synthesis.h"
#include "engine/workers.h"
#include "engine/xy_file.h"
#include "ui/main_window.h"
#include "ui/message.h"

namespace elutrix::ui {

namespace {

// The room the program makes sure of before it builds its window was not
// there. Thrown before the toolkit has begun any work of its own, so that
// the toolkit can still show why.
struct NoRoom : std::bad_alloc {};

// Throws NoRoom unless the process could still take size bytes of memory.
// Nothing is kept.
void ensure_room(std::size_t size) {
    void* const room = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (room == MAP_FAILED) throw NoRoom();
    ::munmap(room, size);
}

// What the program takes after its start, at most: the trace, a stack for
// each worker thread that a run or an export starts, the export's blocks,
// and a margin for the window's controls and painting.
std::size_t room_to_run() {
    const std::size_t threads = worker_threads();
    rlimit stack{};
    std::size_t stack_size = std::size_t{8} << 20;
    if (::getrlimit(RLIMIT_STACK, &stack) == 0 && stack.rlim_cur != RLIM_INFINITY) {
        stack_size = static_cast<std::size_t>(stack.rlim_cur);
    }
    return Trace::table_bytes + (threads - 1) * stack_size + xy_writer_bytes() + (std::size_t{12} << 20);
}

// The toolkit does not survive an exception out of its own event handling
// (one thrown by its painting when memory runs out leaves its locks held),
// and the program's own handlers throw none. Such an exception therefore
// ends the program at once, with one line on standard error.
class Application : public QApplication {
public:
    using QApplication::QApplication;

    bool notify(QObject* receiver, QEvent* event) override {
        const char* line = "Elutrix stopped because of an unexpected error.";
        try {
            return QApplication::notify(receiver, event);
        } catch (const std::bad_alloc&) {
            line = run_memory_failure;
        } catch (...) {
        }
        std::fprintf(stderr, "%s\n", line);
        std::_Exit(EXIT_FAILURE);
    }
};

// One line on standard error, then a message box where the toolkit is known
// to be sound.
void report(const char* line, const char* detail, bool toolkit_sound, const ProgramHooks& hooks) noexcept {
    std::fprintf(stderr, "%s%s\n", line, detail);
    if (!toolkit_sound) return;
    try {
        const QString text = QString::fromLocal8Bit(line) + QString::fromLocal8Bit(detail);
        if (hooks.show_failure) {
            hooks.show_failure(text);
        } else {
            QMessageBox::critical(nullptr, application_title, text);
        }
    } catch (...) {
        // The line on standard error has said it.
    }
}

}  // namespace

int run_program(int& argc, char** argv, const ProgramHooks& hooks) {
    // Worker threads share the main heap instead of reserving 64 MiB of
    // address space each for heaps of their own: a few threads gain nothing
    // from them, and under an address-space limit the reservations would
    // leave the toolkit without memory.
    mallopt(M_ARENA_MAX, 1);
    std::unique_ptr<Application> app;
    bool running = false;
    // The window goes before the application, also when either fails.
    try {
        app = std::make_unique<Application>(argc, argv);
        QApplication::setApplicationName(application_title);
        // The window is laid out at fixed positions for this style's metrics.
        QApplication::setStyle(QStringLiteral("Fusion"));
        QApplication::setFont(program_font());
        // Libraries beneath the toolkit crash rather than fail when memory
        // runs out (the font configuration library while it reads its
        // files, the painting later): so the program starts only with room
        // for all it will take, and the fonts are loaded while it is free.
        ensure_room(room_to_run());
        QFontDatabase::families();
        MainWindow window;
        window.show();
        if (hooks.started) QTimer::singleShot(0, &window, [&window, &hooks] { hooks.started(window); });
        // The program ends when its last window closes: an open Instructions
        // or About window keeps it running after the main window is closed.
        running = true;
        return app->exec();
    } catch (const NoRoom&) {
        report(start_memory_failure, "", app != nullptr, hooks);
    } catch (const std::bad_alloc&) {
        // Thrown from inside the toolkit's work, which may have been left
        // half done: no message box.
        report(running ? run_memory_failure : start_memory_failure, "", false, hooks);
    } catch (const std::exception& error) {
        report("Elutrix stopped: ", error.what(), false, hooks);
    } catch (...) {
        report("Elutrix stopped because of an unexpected error.", "", false, hooks);
    }
    return EXIT_FAILURE;
}

}  // namespace elutrix::ui
