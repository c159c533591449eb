// "Write  datafile": the Save dialog and the .xy file of the last trace.
#pragma once

#include <QString>
#include <optional>

#include "engine/synthesis.h"
#include "ui/message.h"

class QWidget;

namespace elutrix::ui {

// Asks the user for the path to save to; nullopt when the user cancels.
// The window calls it through this interface so that tests can answer
// without a modal dialog.
class SaveDialog {
public:
    virtual ~SaveDialog() = default;
    virtual std::optional<QString> ask(QWidget* parent) = 0;
};

// The real dialog: modal, "xy data (*.xy)", no overwrite question, no
// read-only box, no default suffix.
class QtSaveDialog : public SaveDialog {
public:
    std::optional<QString> ask(QWidget* parent) override;
};

// Writes points 1 .. point_count of trace.export_points to path as
// "minutes,response" lines ended by CR LF, through replace_file: an existing
// file keeps its owner, group and mode, and is left as it was on a failure
// wherever the file system allows. Returns false on any failure to create,
// write or replace the file.
bool write_datafile(const QString& path, const Trace& trace);

// The whole command: asks for a path, writes the file and reports
// "Unknown error in opening file <path>" through show_message on any failure,
// running out of memory included; no exception leaves it. Cancelling does
// nothing.
void write_datafile_command(QWidget* parent, SaveDialog& dialog, const Trace& trace, const MessageHandler& show_message);

}  // namespace elutrix::ui
