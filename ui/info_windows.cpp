#include "ui/info_windows.h"

#include "ui/message.h"
#include "ui/twips.h"

#include <QApplication>
#include <QFont>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLabel>
#include <QPointer>
#include <QScreen>
#include <QWidget>
#include <QtGlobal>
#include <initializer_list>

namespace elutrix::ui {

namespace {

// Both windows open with their client area's top-left corner here, measured
// from the screen's top-left corner.
constexpr int first_left = px(2760);
constexpr int first_top = px(3750);

struct LabelLayout {
    const char* name;
    int left, top, width, height;  // twips, in the client area
    bool bold;
    bool wrapped;  // word wrapped within the width, else one line
    QString text;
};

const char* const body_1 =
    "Values for retention time (minutes), relative response (areas), and efficiency (theoretical "
    "plates) are entered for each component.  Values for resolution relative to the previous "
    "component can be entered instead of retention time; this option is valid only if the retention "
    "time field is blank.  Components can be toggled on/off by utilizing the checkbox field.  A "
    "chromatogram is displayed using the current settings when the \"Update\" box is selected.  X,Y "
    "data (i.e., time and response) data can be saved through the \"Write datafile\" box.";

const char* const body_2 =
    "Options for inclusion of sampling rate, baseline slope, noise, and efficiency are provided.  "
    "The current implementation is limited to 1 million data points (seconds x sampling rate x 1.5)";

const char* const body_3 =
    "This model is under development and is for qualitative use.  Selection of exponentially "
    "modified Gaussian options permits generation of tailing or fronting peak shapes.  Quantitative "
    "relative responses for this model are currently not supported, and clipping may result under "
    "certain conditions.  When selected, values of tau between -25 to 25 are entered for each peak "
    "(Gaussian peak shape results for tau = 0).";

const char* const body_4 =
    "Random noise is simulated at the sampling frequency. Drift uses a different algorithm, which "
    "is similar to a random walk.  The noise level is adjusted by selection of \"S/N\" or "
    "\"Value\".  Selection and entry of \"S/N\" provides an approximate signal to noise ratio based "
    "on the magnitude of the smallest component.  Selection and entry of \"Value\" is independent "
    "of component magnitudes.  Selection and entry of a \"Seed\" permits generation of reproducible "
    "noise.";

// Whether the text fits its label in the given font: on one line, or word
// wrapped within the label's height.
bool fits(const LabelLayout& layout, const QFont& font) {
    const QFontMetrics metrics(font);
    const int width = px(layout.width);
    const int height = px(layout.height);
    const int wrap = layout.wrapped ? Qt::TextWordWrap : 0;
    const QRect needed = metrics.boundingRect(QRect(0, 0, width, 1 << 20), Qt::AlignLeft | Qt::AlignTop | wrap, layout.text);
    return needed.width() <= width && needed.height() <= height;
}

// The application's font, made smaller only as far as needed for every text
// to fit its label: the layout was drawn for a small 8-point face, and wider
// or larger faces would cut off the end of the longer texts.
QFont fitting_font(std::initializer_list<LabelLayout> labels) {
    constexpr int smallest_pixels = 8;
    QFont font = QApplication::font();
    QFont bold = font;
    bold.setWeight(QFont::Bold);
    const auto all_fit = [&]() {
        for (const LabelLayout& layout : labels) {
            if (!fits(layout, layout.bold ? bold : font)) return false;
        }
        return true;
    };
    for (int size = QFontInfo(font).pixelSize() - 1; size >= smallest_pixels && !all_fit(); --size) {
        font.setPixelSize(size);
        bold.setPixelSize(size);
    }
    return font;
}

// A top-level window of fixed size and fixed dialog frame: a title bar with a
// close box only, no owner, destroyed when closed.
QWidget* make_window(const char* name, const QString& caption, int width, int height,
                     std::initializer_list<LabelLayout> labels) {
    auto* window = new QWidget(nullptr, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                                            Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    window->setObjectName(QString::fromLatin1(name));
    window->setWindowTitle(caption);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setAttribute(Qt::WA_QuitOnClose);  // the program runs while any of its windows is open

    const QFont font = fitting_font(labels);
    window->setFont(font);
    QFont bold = font;
    bold.setWeight(QFont::Bold);
    for (const LabelLayout& layout : labels) {
        auto* label = new QLabel(layout.text, window);
        label->setObjectName(QString::fromLatin1(layout.name));
        label->setTextFormat(Qt::PlainText);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        label->setWordWrap(layout.wrapped);
        if (layout.bold) label->setFont(bold);
        label->setGeometry(twips_rect(layout.left, layout.top, layout.width, layout.height));
    }

    const QScreen* screen = QGuiApplication::primaryScreen();
    const QPoint origin = screen ? screen->geometry().topLeft() : QPoint(0, 0);
    window->setGeometry(origin.x() + first_left, origin.y() + first_top, px(width), px(height));
    window->setFixedSize(px(width), px(height));
    return window;
}

QWidget* create_instructions() {
    constexpr int left = 240;
    constexpr int width = 5295;
    return make_window("Dialog", QStringLiteral("Instructions for Use"), 5805, 6930,
                       {
                           {"Label2_0", left, 240, width, 255, true, false, QStringLiteral("Background")},
                           {"Label1_0", left, 480, width, 1575, false, true, QString::fromLatin1(body_1)},
                           {"Label2_1", left, 2280, width, 255, true, false, QStringLiteral("Options")},
                           {"Label1_1", left, 2520, width, 735, false, true, QString::fromLatin1(body_2)},
                           {"Label2_2", left, 3360, width, 255, true, false, QStringLiteral("Exponentially Modified Gaussian")},
                           {"Label1_2", left, 3600, width, 1335, false, true, QString::fromLatin1(body_3)},
                           {"Label2_3", left, 5040, width, 255, true, false, QStringLiteral("Noise")},
                           {"Label1_3", left, 5280, width, 1455, false, true, QString::fromLatin1(body_4)},
                       });
}

QWidget* create_about() {
    constexpr int left = 600;
    constexpr int width = 3810 - left;
    return make_window(
        "Dialog1", QStringLiteral("About"), 3810, 2370,
        {
            {"Label1", left, 240, width, 375, true, false, name_and_version},
            {"Label2_0", left, 720, width, 255, false, false, QStringLiteral("by the Elutrix developers")},
            {"Label2_1", left, 960, width, 255, false, false, QStringLiteral("a chromatogram simulator")},
            {"Label3", left, 1200, width, 255, false, false, QStringLiteral("for teaching chromatography")},
            {"Label4", left, 1440, width, 255, false, false, QStringLiteral("and for testing integrators")},
            {"Label5", left, 1680, width, 255, false, false, QStringLiteral("built with Qt ") + QString::fromLatin1(qVersion())},
            {"Label6", left, 1920, width, 255, false, false, QStringLiteral("and the C++ standard library")},
        });
}

// Shows the one instance of a window: creates it at its first position when
// it is not open, otherwise brings it to the front where it stands.
QWidget* show_single(QPointer<QWidget>& instance, QWidget* (*create)()) {
    if (!instance) instance = create();
    instance->show();
    instance->raise();
    instance->activateWindow();
    return instance;
}

}  // namespace

QWidget* show_instructions() {
    static QPointer<QWidget> instance;
    return show_single(instance, create_instructions);
}

QWidget* show_about() {
    static QPointer<QWidget> instance;
    return show_single(instance, create_about);
}

}  // namespace elutrix::ui
