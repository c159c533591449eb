#include <QApplication>

#include "ui/main_window.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Elutrix"));
    // The window is laid out at fixed positions for this style's metrics.
    QApplication::setStyle(QStringLiteral("Fusion"));
    QApplication::setFont(elutrix::ui::program_font());
    elutrix::ui::MainWindow window;
    window.show();
    // The program ends when its last window closes: an open Instructions or
    // About window keeps it running after the main window is closed.
    return app.exec();
}
