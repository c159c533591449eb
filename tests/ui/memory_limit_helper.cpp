// Runs the program as it starts for a user, under whatever memory limit the
// test that starts it has set, and drives it once it runs as a user would:
// the window painted, an Update of 180,000 points, the window painted again,
// a "Write  datafile" to the path given as the only argument, then the end.
// It tells on standard output what the program
// showed, one line each:
//   "failure shown: <text>"  the program could not start and said why
//   "message: <text>"        a message of the window
//   "exported"               the export reported no failure
//   "helper failed"          this helper itself ran out of memory
// Its exit status is the program's (3 when the helper failed).
#include <QApplication>
#include <QCoreApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <cstdio>
#include <memory>
#include <optional>

#include "ui/datafile.h"
#include "ui/main_window.h"
#include "window_controls.h"
#include "ui/program.h"

namespace {

void say(const char* what, const QString& text = QString()) noexcept {
    try {
        std::printf("%s%s\n", what, text.toLocal8Bit().constData());
    } catch (...) {
        std::printf("%s<text lost>\n", what);
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Unbuffered, so that no output waits on an allocation.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc < 2) return 2;
    const char* path = argv[1];

    elutrix::ui::ProgramHooks hooks;
    hooks.show_failure = [](const QString& text) {
        // The box the program would show, shown and closed again at once.
        QMessageBox box(QMessageBox::Critical, QStringLiteral("Elutrix"), text, QMessageBox::Ok);
        box.show();
        QCoreApplication::processEvents();
        say("failure shown: ", text);
    };
    hooks.started = [path](elutrix::ui::MainWindow& window) {
        try {
            static bool failed = false;
            window.set_message_handler([](const QString& text) {
                failed = failed || text.startsWith(QLatin1String("Unknown error in opening file "));
                say("message: ", text);
            });
            window.findChild<QLineEdit*>(QStringLiteral("sampling_rate"))->setText(QStringLiteral("2000"));
            window.repaint();
            window.update_clicked();
            window.repaint();
            window.set_save_dialog(std::make_unique<elutrix::ui::testing::FakeSaveDialog>(QString::fromLocal8Bit(path)));
            window.write_datafile_clicked();
            if (!failed) say("exported");
            QCoreApplication::exit(0);
        } catch (...) {
            say("helper failed");
            QCoreApplication::exit(3);
        }
    };
    return elutrix::ui::run_program(argc, argv, hooks);
}
