// The Instructions and About windows: modeless, without an owner, one of each.
#pragma once

class QWidget;

namespace elutrix::ui {

// Shows the window, creating it at its first position when it is not open,
// or brings the open one to the front where the user left it.
QWidget* show_instructions();
QWidget* show_about();

}  // namespace elutrix::ui
