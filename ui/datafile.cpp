#include "ui/datafile.h"


#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QStringList>
#include <cstddef>
#include <cstdio>
#include <string>

#include "engine/file_output.h"
#include "engine/xy_file.h"

namespace elutrix::ui {

namespace {

// The folder of the dialog's previous use, kept for the life of the program.
QString& last_directory() {
    static QString directory;
    return directory;
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
    const QByteArray name = QFile::encodeName(path);
    return replace_file(std::string(name.constData(), static_cast<std::size_t>(name.size())),
                        [&trace](const ByteSink& sink) { return write_xy_lines(trace, sink); });
}

void write_datafile_command(QWidget* parent, SaveDialog& dialog, const Trace& trace,
                            const MessageHandler& show_message) {
    // No failure, not even one of memory, leaves the command: each ends in
    // the one message, and the program goes on.
    QString path;
    try {
        const std::optional<QString> answer = dialog.ask(parent);
        if (!answer) return;
        path = *answer;
        if (write_datafile(path, trace)) return;
    } catch (...) {
    }
    show_or_print(show_message, "Unknown error in opening file ", path);
}

}  // namespace elutrix::ui
