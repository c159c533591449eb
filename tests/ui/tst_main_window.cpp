// The main window: its factory state, Reset, what Update reads from and
// writes back into the controls, the option groups, failures, focus order
// and the fixed layout.
#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTemporaryDir>
#include <QtTest>
#include <functional>
#include <optional>

#include "engine/chromatogram.h"
#include "ui/main_window.h"
#include "ui/picture_box.h"
#include "window_controls.h"

using elutrix::ComponentTable;
using elutrix::SimulationSettings;
using elutrix::ui::MainWindow;
using namespace elutrix::ui::testing;

namespace {

// What a control shows: a box's text, a button's or label's caption, a
// frame's title.
QString shown_text(QWidget* widget) {
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) return edit->text();
    if (auto* b = qobject_cast<QAbstractButton*>(widget)) return b->text();
    if (auto* label = qobject_cast<QLabel*>(widget)) return label->text();
    if (auto* frame = qobject_cast<QGroupBox*>(widget)) return frame->title();
    return QStringLiteral("<no text>");
}

enum class Check { none, off, on };

struct Expected {
    QString name;
    QString text;
    Check check = Check::none;
    QString tip = QString();
    bool bold = false;
    bool hidden = false;
};

// The window as it first appears. row1_response is the one value in which
// Reset differs from a fresh start.
std::vector<Expected> factory_controls(const QString& row1_response) {
    std::vector<Expected> e = {
        {"Label11", "Retention Time", Check::none, "Retention time of peak in minutes", true},
        {"Label10", "Relative Response", Check::none, "Scaling factor for peaks", true},
        {"Label12", "Theoretical Plates (N)", Check::none, "Measure of column efficiency, used to set peak bandwidth",
         true},
        {"Label13_0", "Tau", Check::none,
         "Decay constant; measure of peak tailing used for EMG model; typical range -25<0<25; negative values indicate "
         "peak fronting",
         true},
        {"Label13_1", "Resolution (R)", Check::none,
         "Resolution relative to previous component; negative indicates elution before component", true},
        {"void_time", "void time", Check::none, "", true, true},
        {"void", "", Check::none, "", false, true},
        {"Frame1", "Peak Model", Check::none, "", true},
        {"Option1", "Gaussian", Check::on, "normal gaussian peak shape"},
        {"Option2", "exponentially modified Gaussian", Check::off, "asymmetric peak shape"},
        {"Check19", "constant bandwidth", Check::off, "bandwidth set by 1st peak"},
        {"Label4", "Sampling rate", Check::none, "", true},
        {"sampling_rate", "20"},
        {"Label5", "points/sec"},
        {"Frame2", "Baseline", Check::none, "", true},
        {"baseline_flat", "flat", Check::on, "no baseline modification"},
        {"baseline_linear", "linear", Check::off, "linear baseline contribution, based on tallest peak"},
        {"baseline_quad", "quadratic", Check::off, "quadratic baseline contribution, based on tallest peak"},
        {"baseline_linear_up", "up", Check::on},
        {"baseline_linear_down", "down", Check::off},
        {"baseline_quad_up", "up", Check::on},
        {"baseline_quad_down", "down", Check::off},
        {"Label16", "% ="},
        {"baseline_percentage", ""},
        {"Frame4", "Noise", Check::none, "", true},
        {"noise_omit", "omit", Check::on, "no noise contribution"},
        {"noise_random", "random noise", Check::off,
         "\"random\" noise generated at the sampling rate; S/N values are typically >> 10"},
        {"noise_random_walk", "drift", Check::off,
         "different algorithm; similar to random walk; S/N values are typically > 100"},
        {"Option3", "value =", Check::off, "values typically 0 to 1; larger values indicate more noise"},
        {"s_to_n_value", ""},
        {"Option4", "S/N   =", Check::off, "S/N value based on smallest component; typically >> 10"},
        {"s_to_n_percent", ""},
        {"Check2", "seed", Check::off, "if checked, noise will be reproducible"},
        {"seed", "1"},
        {"Frame5", "Efficiency", Check::none, "", true},
        {"lc", "typical LC", Check::on, "(N=10,000)"},
        {"gc", "typical GC", Check::off, "(N=100,000)"},
        {"custom", "custom", Check::off, "user defined N"},
        {"custom_individual", "custom; set peaks individually", Check::off,
         "User defined N; peaks can be set individually in table"},
        {"Label9", "N = "},
        {"N", ""},
        {"Command1", "Write  datafile"},
        {"Command2", "Update"},
        {"Command3", "Reset"},
    };
    for (int i = 0; i < elutrix::component_count; ++i) {
        const bool first = i == 0;
        e.push_back({cell("Check1", i), "", first ? Check::on : Check::off});
        e.push_back({cell("Label1", i), QString::number(i + 1), Check::none, "", true});
        e.push_back({cell("Text2", i), first ? "1" : ""});
        e.push_back({cell("Text1", i), first ? row1_response : ""});
        e.push_back({cell("Text3", i), first ? "10000" : ""});
        e.push_back({cell("Text4", i), first ? "1" : ""});
        e.push_back({cell("Text5", i), "", Check::none, "", false, first});
    }
    return e;
}

void verify_state(const MainWindow& window, const std::vector<Expected>& expected) {
    for (const Expected& e : expected) {
        QWidget* widget = control(window, e.name);
        const QByteArray where = e.name.toUtf8();
        QVERIFY2(shown_text(widget) == e.text, where + ": " + shown_text(widget).toUtf8());
        QVERIFY2(widget->toolTip() == e.tip, where);
        QVERIFY2(widget->font().bold() == e.bold, where);
        QVERIFY2(widget->isHidden() == e.hidden, where);
        if (e.check != Check::none) {
            auto* b = qobject_cast<QAbstractButton*>(widget);
            QVERIFY2(b && b->isChecked() == (e.check == Check::on), where);
        }
    }
}

int black_pixels(const QImage& image) {
    int count = 0;
    for (int r = 0; r < image.height(); ++r) {
        for (int c = 0; c < image.width(); ++c) count += image.pixel(c, r) == qRgb(0, 0, 0);
    }
    return count;
}

using Setup = std::function<void(ComponentTable&, SimulationSettings&)>;

}  // namespace

Q_DECLARE_METATYPE(Setup)

class MainWindowTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void the_window_and_its_menu();
    void no_caption_is_clipped();
    void factory_state();
    void reset_restores_the_factory_state();
    void update_writes_back_what_the_run_computed_data();
    void update_writes_back_what_the_run_computed();
    void update_leaves_untouched_boxes_alone();
    void option_groups_are_independent_data();
    void option_groups_are_independent();
    void a_failing_update_shows_one_message_and_keeps_the_last_run();
    void reset_clears_the_picture_and_keeps_the_trace();
    void a_flat_run_draws_a_flat_line();
    void write_datafile_writes_the_last_trace();
    void focus_starts_on_row_1_and_tabs_through_the_table();
    void resizing_moves_nothing();
};

void MainWindowTest::initTestCase() {
    // The style the program runs with.
    QApplication::setStyle(QStringLiteral("Fusion"));
}

void MainWindowTest::no_caption_is_clipped() {
    MainWindow window;
    int checked = 0;
    for (QWidget* widget : window.centralWidget()->findChildren<QWidget*>()) {
        const QFontMetrics metrics(widget->font());
        const QByteArray name = widget->objectName().toUtf8();
        if (auto* label = qobject_cast<QLabel*>(widget)) {
            if (label->wordWrap()) {
                QVERIFY2(label->heightForWidth(label->width()) <= label->height(), name);
            } else {
                QVERIFY2(metrics.horizontalAdvance(label->text()) <= label->width(), name);
                QVERIFY2(metrics.height() <= label->height(), name);
            }
            ++checked;
        } else if (qobject_cast<QRadioButton*>(widget) || qobject_cast<QCheckBox*>(widget)) {
            auto* option = qobject_cast<QAbstractButton*>(widget);
            if (option->text().isEmpty()) continue;  // the table's check boxes
            QStyleOptionButton style_option;
            style_option.initFrom(option);
            style_option.text = option->text();
            const bool radio = qobject_cast<QRadioButton*>(widget);
            const QRect text = option->style()->subElementRect(
                radio ? QStyle::SE_RadioButtonContents : QStyle::SE_CheckBoxContents, &style_option, option);
            QVERIFY2(text.left() + metrics.horizontalAdvance(option->text()) <= option->width(), name);
            QVERIFY2(metrics.height() <= option->height(), name);
            ++checked;
        } else if (auto* push = qobject_cast<QPushButton*>(widget)) {
            const int margin = push->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, push);
            QVERIFY2(metrics.horizontalAdvance(push->text()) + 2 * margin <= push->width(), name);
            ++checked;
        }
    }
    // 20 labels, 18 option buttons, 2 captioned check boxes, 3 buttons.
    QCOMPARE(checked, 20 + 18 + 2 + 3);
}

void MainWindowTest::the_window_and_its_menu() {
    MainWindow window;
    QCOMPARE(window.objectName(), QStringLiteral("Form1"));
    QCOMPARE(window.windowTitle(), QStringLiteral("Elutrix"));
    QVERIFY(!window.windowIcon().isNull());
    QCOMPARE(window.windowIcon().availableSizes().value(0), QSize(230, 229));
    auto* menu = window.findChild<QMenu*>(QStringLiteral("menu_about"));
    QVERIFY(menu);
    QCOMPARE(menu->title(), QStringLiteral("Instructions for Use"));
    QCOMPARE(window.menuBar()->actions().size(), 1);
    const QList<QAction*> items = menu->actions();
    QCOMPARE(items.size(), 2);
    QCOMPARE(items[0]->objectName(), QStringLiteral("about_instructions"));
    QCOMPARE(items[0]->text(), QStringLiteral("Instructions for Use"));
    QCOMPARE(items[1]->objectName(), QStringLiteral("about_name"));
    QCOMPARE(items[1]->text(), QStringLiteral("About Elutrix 1.0"));

    // Each item opens its window without an owner; the main window stays.
    struct Item {
        int index;
        QString title;
    };
    for (const Item& item : {Item{0, "Instructions for Use"}, Item{1, "About"}}) {
        items[item.index]->trigger();
        QWidget* opened = nullptr;
        for (QWidget* top : QApplication::topLevelWidgets()) {
            if (top != &window && top->isVisible() && top->windowTitle() == item.title) opened = top;
        }
        QVERIFY2(opened, qPrintable(item.title));
        QVERIFY(!opened->parentWidget());
        opened->close();
    }

    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.centralWidget()->size(), QSize(730, 620));
    QCOMPARE(control(window, "Picture1")->geometry(), QRect(16, 360, 700, 250));
}

void MainWindowTest::factory_state() {
    MainWindow window;
    verify_state(window, factory_controls(QStringLiteral("1.00")));
    // Tool tips sit on the header labels, never on the cells.
    for (QLineEdit* edit : window.findChildren<QLineEdit*>()) QVERIFY(edit->toolTip().isEmpty());
    QCOMPARE(window.trace().point_count, 0);
    const QImage& picture = window.picture()->image();
    QCOMPARE(black_pixels(picture), 0);
    QCOMPARE(picture.pixel(0, 0), qRgb(255, 255, 255));
}

void MainWindowTest::reset_restores_the_factory_state() {
    MainWindow window;
    Messages messages;
    window.set_message_handler(messages.handler());
    // Change everything a user can change, and run once so that the run's
    // write-backs are there too.
    for (QLineEdit* edit : window.findChildren<QLineEdit*>()) {
        if (!edit->isHidden() && edit->objectName() != "sampling_rate") edit->setText(QStringLiteral("3"));
    }
    for (int i = 0; i < elutrix::component_count; ++i) button(window, cell("Check1", i))->setChecked(true);
    for (const char* name : {"Option2", "Check19", "baseline_quad", "baseline_linear_down", "baseline_quad_down",
                             "noise_random_walk", "Option4", "Check2", "custom_individual"}) {
        button(window, name)->click();
    }
    window.update_clicked();
    QVERIFY(black_pixels(window.picture()->image()) > 0);
    button(window, "Command3")->click();
    verify_state(window, factory_controls(QStringLiteral("1")));
    QCOMPARE(black_pixels(window.picture()->image()), 0);

    // A run after Reset is the factory run again.
    window.update_clicked();
    QVERIFY2(messages.shown.isEmpty(), qPrintable(messages.shown.join('\n')));
    QCOMPARE(window.trace().point_count, 1800);
}

void MainWindowTest::update_writes_back_what_the_run_computed_data() {
    QTest::addColumn<Setup>("setup");
    QTest::addColumn<QStringList>("expected");  // name=text pairs the run must leave
    using elutrix::EfficiencyChoice;
    using elutrix::NoiseKind;
    QTest::newRow("factory inputs") << Setup([](ComponentTable&, SimulationSettings&) {})
                                    << QStringList{"Text3_0=10000", "Text1_0=1.00", "Text5_1="};
    QTest::newRow("typical GC") << Setup([](ComponentTable& rows, SimulationSettings& s) {
        s.efficiency = EfficiencyChoice::gc;
        rows[0].plates = "5";
        rows[3] = {false, "2", "1", "7", "", ""};
    }) << QStringList{"Text3_0=100000", "Text3_3=7"};
    QTest::newRow("custom N copied as typed") << Setup([](ComponentTable&, SimulationSettings& s) {
        s.efficiency = EfficiencyChoice::custom;
        s.custom_plates = "5000 ";
    }) << QStringList{"Text3_0=5000 "};
    QTest::newRow("resolution recomputed from two retention times")
        << Setup([](ComponentTable& rows, SimulationSettings&) { rows[1] = {true, "2", "1", "", "", "4"}; })
        << QStringList{"Text3_1=10000", "Text5_1=16.6666666666667"};
    QTest::newRow("retention time derived from a resolution")
        << Setup([](ComponentTable& rows, SimulationSettings&) { rows[1] = {true, "", "", "", "", "1.5"}; })
        << QStringList{"Text1_1=1", "Text3_1=10000"};
    QTest::newRow("chain of derived rows") << Setup([](ComponentTable& rows, SimulationSettings&) {
        rows[1] = {true, "", "", "", "", "2"};
        rows[2] = {true, "", "0.5", "", "", "-1"};
    }) << QStringList{"Text1_1=1", "Text1_2=0.5"};
    QTest::newRow("S/N sets the noise value") << Setup([](ComponentTable&, SimulationSettings& s) {
        s.noise_kind = NoiseKind::random;
        s.level_by_s_to_n = true;
        s.s_to_n_percent = "100";
        s.use_seed = true;
        s.seed = "7";
    }) << QStringList{"s_to_n_percent=100"};
    QTest::newRow("noise value sets the S/N") << Setup([](ComponentTable&, SimulationSettings& s) {
        s.noise_kind = NoiseKind::random_walk;
        s.level_by_value = true;
        s.s_to_n_value = "0.01";
        s.baseline_shape = elutrix::BaselineShape::linear;
        s.linear_down = true;
        s.baseline_percentage = "20";
    }) << QStringList{"s_to_n_value=0.01"};
    QTest::newRow("EMG with constant bandwidth") << Setup([](ComponentTable& rows, SimulationSettings& s) {
        s.peak_model = elutrix::PeakModel::ExponentiallyModifiedGaussian;
        s.constant_bandwidth = true;
        rows[1] = {true, "3", "2", "", "4", ""};
    }) << QStringList{"Text3_1=10000"};
}

void MainWindowTest::update_writes_back_what_the_run_computed() {
    QFETCH(Setup, setup);
    QFETCH(QStringList, expected);
    MainWindow window;
    Messages messages;
    window.set_message_handler(messages.handler());
    ComponentTable rows = elutrix::factory_table();
    SimulationSettings settings;
    setup(rows, settings);
    enter(window, rows, settings);
    QHash<QLineEdit*, QString> typed;
    for (QLineEdit* edit : window.findChildren<QLineEdit*>()) typed.insert(edit, edit->text());
    window.update_clicked();
    QVERIFY2(messages.shown.isEmpty(), qPrintable(messages.shown.join('\n')));
    // A box the run wrote shows the start of its text, whose leading digits
    // matter most when the number is longer than the box.
    for (auto it = typed.cbegin(); it != typed.cend(); ++it) {
        if (it.key()->text() != it.value()) QCOMPARE(it.key()->cursorPosition(), 0);
    }

    for (const QString& pair : expected) {
        const QString name = pair.section(u'=', 0, 0);
        const QString text = pair.section(u'=', 1);
        QCOMPARE(box(window, name)->text(), text);
    }
    // Every box shows what the same run computes on the same inputs.
    elutrix::Trace trace;
    elutrix::RandomGenerator generator;
    QVERIFY(elutrix::chromatogram(rows, settings, trace, nullptr, generator).ok);
    for (int i = 0; i < elutrix::component_count; ++i) {
        QCOMPARE(box(window, cell("Text2", i))->text().toStdString(), rows[i].retention_time);
        QCOMPARE(box(window, cell("Text1", i))->text().toStdString(), rows[i].relative_response);
        QCOMPARE(box(window, cell("Text3", i))->text().toStdString(), rows[i].plates);
        QCOMPARE(box(window, cell("Text4", i))->text().toStdString(), rows[i].tau);
        QCOMPARE(box(window, cell("Text5", i))->text().toStdString(), rows[i].resolution);
    }
    QCOMPARE(box(window, "s_to_n_percent")->text().toStdString(), settings.s_to_n_percent);
    QCOMPARE(box(window, "s_to_n_value")->text().toStdString(), settings.s_to_n_value);
    QCOMPARE(window.trace().point_count, trace.point_count);
    for (int i : {1, trace.point_count / 2, trace.point_count}) {
        QCOMPARE(window.trace().export_points[i].time, trace.export_points[i].time);
        if (settings.noise_kind == elutrix::NoiseKind::omit || settings.use_seed) {
            QCOMPARE(window.trace().export_points[i].response, trace.export_points[i].response);
        }
    }
    QVERIFY(black_pixels(window.picture()->image()) > 0);
    QVERIFY(!QApplication::overrideCursor());
}

void MainWindowTest::update_leaves_untouched_boxes_alone() {
    MainWindow window;
    QLineEdit* tau = box(window, "Text4_0");
    QLineEdit* seed = box(window, "seed");
    QLineEdit* plates = box(window, "Text3_0");
    tau->setCursorPosition(0);
    seed->setSelection(0, 1);
    plates->setText(QStringLiteral("250"));
    button(window, "gc")->click();
    window.update_clicked();
    QCOMPARE(plates->text(), QStringLiteral("100000"));
    QCOMPARE(tau->cursorPosition(), 0);
    QCOMPARE(seed->selectedText(), QStringLiteral("1"));
}

void MainWindowTest::option_groups_are_independent_data() {
    QTest::addColumn<QStringList>("clicks");
    QTest::addColumn<QStringList>("selected");  // the selection of every group afterwards
    const QString factory = "Option1 baseline_flat baseline_linear_up baseline_quad_up noise_omit lc";
    QTest::newRow("nothing") << QStringList{} << factory.split(' ');
    QTest::newRow("linear down leaves quadratic up")
        << QStringList{"baseline_linear", "baseline_linear_down"}
        << QStringList{"Option1", "baseline_linear", "baseline_linear_down", "baseline_quad_up", "noise_omit", "lc"};
    QTest::newRow("flat afterwards keeps both directions")
        << QStringList{"baseline_linear_down", "baseline_quad_down", "baseline_flat"}
        << QStringList{"Option1", "baseline_flat", "baseline_linear_down", "baseline_quad_down", "noise_omit", "lc"};
    QTest::newRow("noise level kept whatever the noise kind")
        << QStringList{"noise_random", "Option4", "noise_omit"}
        << QStringList{"Option1", "baseline_flat", "baseline_linear_up", "baseline_quad_up", "noise_omit", "lc",
                       "Option4"};
    QTest::newRow("one choice in every group")
        << QStringList{"Option2", "baseline_quad", "baseline_linear_down", "baseline_quad_down", "noise_random_walk",
                       "Option3", "custom"}
        << QStringList{"Option2",           "baseline_quad", "baseline_linear_down", "baseline_quad_down",
                       "noise_random_walk", "Option3",       "custom"};
    QTest::newRow("second level option replaces the first")
        << QStringList{"Option3", "Option4", "gc", "custom_individual"}
        << QStringList{"Option1", "baseline_flat", "baseline_linear_up", "baseline_quad_up", "noise_omit",
                       "custom_individual", "Option4"};
}

void MainWindowTest::option_groups_are_independent() {
    QFETCH(QStringList, clicks);
    QFETCH(QStringList, selected);
    MainWindow window;
    // Clicked on the round indicator, where a user clicks.
    for (const QString& name : clicks) {
        QAbstractButton* option = button(window, name);
        QTest::mouseClick(option, Qt::LeftButton, {}, QPoint(7, option->height() / 2));
    }
    QStringList checked;
    for (QRadioButton* option : window.findChildren<QRadioButton*>()) {
        if (option->isChecked()) checked.append(option->objectName());
    }
    checked.sort();
    selected.sort();
    QCOMPARE(checked, selected);
}

void MainWindowTest::a_failing_update_shows_one_message_and_keeps_the_last_run() {
    MainWindow window;
    Messages messages;
    window.set_message_handler(messages.handler());
    window.update_clicked();
    QVERIFY(messages.shown.isEmpty());
    const int count = window.trace().point_count;
    const QImage picture = window.picture()->image();
    QVERIFY(black_pixels(picture) > 0);

    struct Case {
        const char* name;
        const char* text;
    };
    for (const Case& c : {Case{"sampling_rate", "1e9"}, Case{"sampling_rate", "-1e300"}, Case{"Text1_0", "1e400"}}) {
        MainWindow* w = &window;
        const QString before = box(*w, c.name)->text();
        box(*w, c.name)->setText(QString::fromLatin1(c.text));
        // The run writes the plate count before it meets the bad input; that
        // write stays.
        box(*w, "Text3_0")->setText(QStringLiteral("5"));
        messages.shown.clear();
        button(*w, "Command2")->click();
        QVERIFY2(messages.shown.size() == 1, c.text);
        QVERIFY(!messages.shown[0].isEmpty());
        QCOMPARE(window.trace().point_count, count);
        QCOMPARE(window.picture()->image(), picture);
        QVERIFY(!QApplication::overrideCursor());
        QCOMPARE(box(*w, "Text3_0")->text(), QStringLiteral("10000"));
        box(*w, c.name)->setText(before);
    }
}

void MainWindowTest::reset_clears_the_picture_and_keeps_the_trace() {
    MainWindow window;
    box(window, "sampling_rate")->setText(QStringLiteral("7"));
    window.update_clicked();
    QCOMPARE(window.trace().point_count, 630);
    const auto last = window.trace().export_points[630];
    window.reset_clicked();
    QCOMPARE(black_pixels(window.picture()->image()), 0);
    QCOMPARE(window.trace().point_count, 630);
    QCOMPARE(window.trace().export_points[630].time, last.time);
    QCOMPARE(window.trace().export_points[630].response, last.response);
}

void MainWindowTest::a_flat_run_draws_a_flat_line() {
    MainWindow window;
    box(window, "Text1_0")->setText(QStringLiteral("0"));
    window.update_clicked();
    QCOMPARE(window.trace().point_count, 1800);
    // A line as thick as the pen, which on a high-density screen is as many
    // pixels as one pixel of an ordinary screen.
    const QImage& image = window.picture()->image();
    const int pen = qRound(image.devicePixelRatio());
    const int flat = qRound((image.height() - pen) * 10.0 / 11.0);
    // The line starts one grid step from time 0.
    const elutrix::Trace& trace = window.trace();
    const int first = qRound(trace.times[1] / trace.times[trace.point_count] * (image.width() - pen));
    for (int c = first; c < image.width(); ++c) {
        for (int r = 0; r < image.height(); ++r) {
            QCOMPARE(image.pixel(c, r) == qRgb(0, 0, 0), r >= flat && r < flat + pen);
        }
    }
}

void MainWindowTest::write_datafile_writes_the_last_trace() {
    QTemporaryDir directory;
    const QString path = directory.filePath(QStringLiteral("run.xy"));
    MainWindow window;
    Messages messages;
    window.set_message_handler(messages.handler());
    window.set_save_dialog(std::make_unique<FakeSaveDialog>(std::nullopt));
    button(window, "Command1")->click();
    QVERIFY(!QFile::exists(path));

    box(window, "sampling_rate")->setText(QStringLiteral("2"));
    window.update_clicked();
    window.reset_clicked();  // the file still holds the run before Reset
    window.set_save_dialog(std::make_unique<FakeSaveDialog>(path));
    button(window, "Command1")->click();
    QVERIFY(messages.shown.isEmpty());
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    QCOMPARE(lines.size(), 180 + 1);  // the last line ends the file
    QCOMPARE(lines[179], QByteArray("1.5,0\r"));
}

void MainWindowTest::focus_starts_on_row_1_and_tabs_through_the_table() {
    MainWindow window;
    window.show();
    QApplication::setActiveWindow(&window);
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QCOMPARE(QApplication::focusWidget(), control(window, "Check1_0"));

    QStringList expected;
    for (int i = 0; i < elutrix::component_count; ++i) {
        for (const char* column : {"Text1", "Text2", "Text3", "Text4"}) expected.append(cell(column, i));
    }
    for (int i = 1; i < elutrix::component_count; ++i) expected.append(cell("Check1", i));
    for (int i = 1; i < elutrix::component_count; ++i) expected.append(cell("Text5", i));
    QStringList visited;
    for (int k = 0; k < expected.size(); ++k) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited.append(QApplication::focusWidget()->objectName());
    }
    QCOMPARE(visited, expected);
}

void MainWindowTest::resizing_moves_nothing() {
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QList<QPair<QWidget*, QRect>> before;
    for (QWidget* widget : window.centralWidget()->findChildren<QWidget*>()) before.append({widget, widget->geometry()});
    for (QSize size : {QSize(1200, 1000), QSize(300, 200)}) {
        window.resize(size);
        QApplication::processEvents();
        for (const auto& [widget, geometry] : before) QVERIFY2(widget->geometry() == geometry, qPrintable(widget->objectName()));
    }
    window.showMaximized();
    QApplication::processEvents();
    for (const auto& [widget, geometry] : before) QVERIFY2(widget->geometry() == geometry, qPrintable(widget->objectName()));
}

QTEST_MAIN(MainWindowTest)
#include "tst_main_window.moc"
