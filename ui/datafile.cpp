#include "ui/datafile.h"

#include "engine/vector_state.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringList>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "engine/inputs.h"

namespace elutrix::ui {

namespace {

// The folder of the dialog's previous use, kept for the life of the program.
QString& last_directory() {
    static QString directory;
    return directory;
}

// The longest number text: a sign, 15 digits, a point and "e-308". The
// formatter may scribble up to 16 bytes past the end of a number, so a line
// is only started with room for twice that.
constexpr std::ptrdiff_t longest_number = 32;
constexpr std::ptrdiff_t line_room = 2 * (longest_number + 16) + 3;
// Doubles up to this one round to 15 digits that read back finite.
constexpr double largest_plain = 1.79769313486231e308;
// Lines are gathered into blocks of this size before they reach the file.
constexpr std::size_t block_size = std::size_t{1} << 20;

// A number as the data file holds it, as the window writes numbers: rounded
// to 15 significant digits, trailing zeros dropped, no point for whole
// numbers, 0 (also -0) as "0", a period whatever the locale, and an exponent
// below 1e-4 and from 1e15 on ("1e-05", "1.5e+20").
char* put_exact(char* out, double value) {
    const std::string text = value_text(value);
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

// The same text, found faster: the exact rounding to 15 digits is slow, while
// the shortest digits that read back as the same double are quick to find.
// Rounding those to 15 digits gives the same result, because no 15-digit
// rounding boundary can lie between a double and its shortest text (the
// boundary would be a shorter or nearer text that reads back the same),
// except where the shortest text ends exactly on a boundary: a 16th digit 5.
// Subnormal doubles are too coarse for this and go the exact way, and so do
// the few largest doubles, which value_text writes in a form of its own.
char* put_number(char* out, double value) {
    if (value == 0.0) {
        *out = '0';
        return out + 1;
    }
    const double magnitude = std::fabs(value);
    if (!(magnitude >= std::numeric_limits<double>::min() && magnitude <= largest_plain)) {
        return put_exact(out, value);
    }

    // d.ddddde+XX or d.ddddde-XXX, with up to 17 digits.
    char text[48];
    const char* const text_end = std::to_chars(text, text + longest_number, magnitude, std::chars_format::scientific).ptr;
    const bool long_exponent = text_end[-5] == 'e';
    const char* const e = text_end - (long_exponent ? 5 : 4);
    int exponent = (e[2] - '0') * 10 + (e[3] - '0');
    if (long_exponent) exponent = exponent * 10 + (e[4] - '0');
    if (e[1] == '-') exponent = -exponent;

    char digits[48];
    digits[0] = text[0];
    int count = 1;
    if (e - text > 1) {
        count = static_cast<int>(e - text) - 1;
        std::memcpy(digits + 1, text + 2, 16);
    }
    if (count > 15) {
        if (count == 16 && digits[15] == '5') return put_exact(out, value);
        const bool up = digits[15] >= '5';  // a 5 with a 17th digit after it lies above the half
        count = 15;
        if (up) {
            int i = 14;
            while (i >= 0 && digits[i] == '9') digits[i--] = '0';
            if (i >= 0) {
                ++digits[i];
            } else {
                digits[0] = '1';
                ++exponent;
            }
        }
    }
    while (count > 1 && digits[count - 1] == '0') --count;

    if (value < 0.0) *out++ = '-';
    if (exponent < -4 || exponent >= 15) {
        out[0] = digits[0];
        out[1] = '.';
        std::memcpy(out + 2, digits + 1, 16);
        out += count > 1 ? count + 1 : 1;
        out[0] = 'e';
        out[1] = exponent < 0 ? '-' : '+';
        const int power = exponent < 0 ? -exponent : exponent;
        if (power >= 100) {
            out[2] = static_cast<char>('0' + power / 100);
            ++out;
        }
        out[2] = static_cast<char>('0' + power / 10 % 10);
        out[3] = static_cast<char>('0' + power % 10);
        return out + 4;
    }
    if (exponent >= 0) {
        const int whole = exponent + 1;
        std::memcpy(out, digits, 16);
        if (count <= whole) {
            std::memset(out + count, '0', 16);
            return out + whole;
        }
        out[whole] = '.';
        std::memcpy(out + whole + 1, digits + whole, 16);
        return out + count + 1;
    }
    std::memcpy(out, "0.000000", 8);
    out += 1 - exponent;
    std::memcpy(out, digits, 16);
    return out + count;
}

// Formats the lines into a block and hands each full block to the file.
bool write_lines(QFileDevice& file, const Trace& trace) {
    const std::int32_t available = static_cast<std::int32_t>(trace.export_points.size()) - 1;
    const std::int32_t count = std::min(trace.point_count, available);
    if (count <= 0) return true;

    const auto buffer = std::make_unique_for_overwrite<char[]>(block_size);
    char* const begin = buffer.get();
    char* const end = begin + block_size;
    char* out = begin;
    const auto flush = [&]() {
        const qint64 size = out - begin;
        out = begin;
        return file.write(begin, size) == size;
    };

    const TracePoint* point = trace.export_points.data() + 1;
    const TracePoint* const last = point + count;
    for (; point != last; ++point) {
        if (end - out < line_room && !flush()) return false;
        out = put_number(out, point->time / 60.0);
        *out++ = ',';
        out = put_number(out, point->response);
        *out++ = '\r';
        *out++ = '\n';
    }
    return out == begin || flush();
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
