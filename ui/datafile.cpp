#include "ui/datafile.h"

#include "engine/vector_state.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringList>
#include <cstddef>

#include "engine/xy_file.h"

namespace elutrix::ui {

namespace {

// The folder of the dialog's previous use, kept for the life of the program.
QString& last_directory() {
    static QString directory;
    return directory;
}

// Hands the lines to the file.
bool write_lines(QFileDevice& file, const Trace& trace) {
    return write_xy_lines(trace, [&file](const char* data, std::size_t size) {
        return file.write(data, static_cast<qint64>(size)) == static_cast<qint64>(size);
    });
}

// Writes straight into the file, truncating it first: for targets that cannot
// be replaced through a temporary sibling. Lines written before a failure stay.
bool write_directly(const QString& path, const Trace& trace) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) return false;
    const bool written = write_lines(file, trace);
    file.close();
    return written && file.error() == QFileDevice::NoError;
}

}  // namespace

std::optional<QString> QtSaveDialog::ask(QWidget* parent) {
    QFileDialog dialog(parent, QStringLiteral("Save As"));
    dialog.setModal(true);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    dialog.setOption(QFileDialog::ReadOnly, false);
    dialog.setNameFilter(QStringLiteral("xy data (*.xy)"));
    dialog.setDefaultSuffix(QString());
    if (!last_directory().isEmpty()) dialog.setDirectory(last_directory());

    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty() || files.first().isEmpty()) return std::nullopt;
    last_directory() = QFileInfo(files.first()).absolutePath();
    return files.first();
}

bool write_datafile(const QString& path, const Trace& trace) {
    clear_vector_upper_state();
    const QFileInfo target(path);
    if (target.isDir()) return false;
    // A device or a pipe cannot be replaced by a renamed file, and a folder
    // that refuses new files leaves no room for a temporary sibling: such a
    // file is truncated and written in place.
    if (target.exists() && (!target.isFile() || !QFileInfo(target.absolutePath()).isWritable())) {
        return write_directly(path, trace);
    }

    // The new text goes into a temporary sibling that replaces the file only
    // once every line is written, so a failure keeps the old file as it was.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) return false;
    if (!write_lines(file, trace)) {
        file.cancelWriting();
        file.commit();  // removes the temporary sibling
        return false;
    }
    return file.commit();
}

void write_datafile_command(QWidget* parent, SaveDialog& dialog, const Trace& trace,
                            const MessageHandler& show_message) {
    const std::optional<QString> path = dialog.ask(parent);
    if (!path) return;
    if (!write_datafile(*path, trace)) show_message(QStringLiteral("Unknown error in opening file ") + *path);
}

}  // namespace elutrix::ui
