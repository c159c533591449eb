#include "ui/message.h"

#include <QMessageBox>

namespace elutrix::ui {

void show_message_box(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, application_title, text, QMessageBox::Ok, parent);
    box.exec();
}

}  // namespace elutrix::ui
