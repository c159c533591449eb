// Messages to the user: a modal box with the application's title as caption
// and an OK button. Windows route them through a handler so that tests can
// collect them instead of blocking on a modal box.
#pragma once

#include <QString>
#include <functional>

#include "engine/version.h"

class QWidget;

namespace elutrix::ui {

// The program's name, the caption of its main window and its messages.
inline const QString application_title = QString::fromLatin1(program_name);
// "Elutrix 1.0".
inline const QString name_and_version =
    QString::fromLatin1(program_name) + u' ' + QString::fromLatin1(program_version);

using MessageHandler = std::function<void(const QString& text)>;

// Shows text in a modal message box over parent.
void show_message_box(QWidget* parent, const QString& text);

// Shows head followed by tail through show_message; where there is no
// handler, or showing fails (for want of memory), writes them to standard
// error instead.
void show_or_print(const MessageHandler& show_message, const char* head, const QString& tail = QString()) noexcept;

}  // namespace elutrix::ui
