#include "ui/program.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <new>

#include "ui/main_window.h"
#include "ui/message.h"

namespace elutrix::ui {

namespace {

// One line on standard error, then a message box where the toolkit works.
void report(const char* line, const char* detail, const QApplication* app, const ProgramHooks& hooks) noexcept {
    std::fprintf(stderr, "%s%s\n", line, detail);
    if (!app) return;
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
    std::unique_ptr<QApplication> app;
    bool running = false;
    // The window goes before the application, also when either fails.
    try {
        app = std::make_unique<QApplication>(argc, argv);
        QApplication::setApplicationName(application_title);
        // The window is laid out at fixed positions for this style's metrics.
        QApplication::setStyle(QStringLiteral("Fusion"));
        QApplication::setFont(program_font());
        MainWindow window;
        window.show();
        if (hooks.started) QTimer::singleShot(0, &window, [&window, &hooks] { hooks.started(window); });
        // The program ends when its last window closes: an open Instructions
        // or About window keeps it running after the main window is closed.
        running = true;
        return app->exec();
    } catch (const std::bad_alloc&) {
        report(running ? "Elutrix stopped: there is not enough memory." : start_memory_failure, "", app.get(), hooks);
    } catch (const std::exception& error) {
        report("Elutrix stopped: ", error.what(), app.get(), hooks);
    } catch (...) {
        report("Elutrix stopped because of an unexpected error.", "", app.get(), hooks);
    }
    return EXIT_FAILURE;
}

}  // namespace elutrix::ui
