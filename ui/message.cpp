#include "ui/message.h"

#include <QFile>
#include <QMessageBox>
#include <cstdio>

namespace elutrix::ui {

void show_message_box(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, application_title, text, QMessageBox::Ok, parent);
    box.exec();
}

void show_or_print(const MessageHandler& show_message, const char* head, const QString& tail) noexcept {
    try {
        if (show_message) {
            show_message(QLatin1String(head) + tail);
            return;
        }
    } catch (...) {
    }
    std::fputs(head, stderr);
    try {
        std::fputs(QFile::encodeName(tail).constData(), stderr);
    } catch (...) {
    }
    std::fputc('\n', stderr);
}

}  // namespace elutrix::ui
