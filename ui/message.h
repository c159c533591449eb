// Messages to the user: a modal box with the application's title as caption
// and an OK button. Windows route them through a handler so that tests can
// collect them instead of blocking on a modal box.
#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace elutrix::ui {

inline const QString application_title = QStringLiteral("Elutrix");

using MessageHandler = std::function<void(const QString& text)>;

// Shows text in a modal message box over parent.
void show_message_box(QWidget* parent, const QString& text);

}  // namespace elutrix::ui
