#include "ui/main_window.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <cstdio>
#include <initializer_list>
#include <new>
#include <vector>

#include "engine/chromatogram.h"
#include "ui/info_windows.h"
#include "ui/picture_box.h"
#include "ui/twips.h"

// The icon lives in the window library's resources, which a static library
// has to register by hand.
static void register_window_resources() { Q_INIT_RESOURCE(resources); }

namespace elutrix::ui {

namespace {

constexpr int client_width = 10950;
constexpr int client_height = 9300;

// Heights of the controls whose height the layout leaves open.
constexpr int text_box_height = 285;
constexpr int label_height = 255;
constexpr int option_height = 240;

template <class Widget>
Widget* place(Widget* widget, const char* name, QRect twips, bool bold = false) {
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(twips);
    // Set in full on every control so that a frame's bold caption font does
    // not pass on to the controls inside it.
    widget->setFont(program_font(bold));
    return widget;
}

QLabel* make_label(QWidget* parent, const char* name, const QString& text, QRect twips, bool bold = false) {
    return place(new QLabel(text, parent), name, twips, bold);
}

QLineEdit* make_box(QWidget* parent, const QString& name, int left, int top, int width) {
    auto* box = place(new QLineEdit(parent), "", twips_rect(left, top, width, text_box_height));
    box->setObjectName(name);
    return box;
}

QLineEdit* make_box(QWidget* parent, const char* name, int left, int top, int width) {
    return make_box(parent, QString::fromLatin1(name), left, top, width);
}

QRadioButton* make_option(QWidget* parent, const char* name, const QString& caption, const QString& tip, int left,
                          int top, int width) {
    auto* option = place(new QRadioButton(caption, parent), name, twips_rect(left, top, width, option_height));
    option->setToolTip(tip);
    return option;
}

QCheckBox* make_check(QWidget* parent, const char* name, const QString& caption, const QString& tip, int left,
                      int top, int width) {
    auto* check = place(new QCheckBox(caption, parent), name, twips_rect(left, top, width, option_height));
    check->setToolTip(tip);
    return check;
}

// A frame with its bold caption set into the top border line.
QGroupBox* make_frame(QWidget* parent, const char* name, const QString& caption, QRect twips) {
    QGroupBox* frame = place(new QGroupBox(caption, parent), name, twips, true);
    frame->setStyleSheet(QStringLiteral(
        "QGroupBox { border: 1px solid palette(mid); border-radius: 0px; margin-top: 6px; }"
        "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left; left: 6px; padding: 0px 2px; }"));
    return frame;
}

// A frame without border or caption that only groups option buttons.
QWidget* make_plain_frame(QWidget* parent, const char* name, QRect twips) {
    return place(new QWidget(parent), name, twips);
}

QButtonGroup* make_group(QObject* owner, std::initializer_list<QRadioButton*> members) {
    auto* group = new QButtonGroup(owner);
    group->setExclusive(true);
    for (QRadioButton* member : members) group->addButton(member);
    return group;
}

QString numbered(const char* name, int index) { return QString::fromLatin1(name) + u'_' + QString::number(index); }

QString qtext(const std::string& text) { return QString::fromStdString(text); }
std::string stdtext(const QLineEdit* box) { return box->text().toStdString(); }

// Writes a text the way a run writes it into a box: with the cursor at its
// start, so that a number longer than the box shows its leading digits.
void show_text(QLineEdit* box, const std::string& text) {
    box->setText(qtext(text));
    box->setCursorPosition(0);
}

void write_if_changed(QLineEdit* box, const std::string& before, const std::string& after) {
    if (after != before) show_text(box, after);
}

// Runs one command so that no exception leaves its click handler: a failure,
// running out of memory among them, is reported once and the window goes on.
template <class Command>
void guarded(const MessageHandler& show_message, Command&& command) noexcept {
    const char* failure = nullptr;
    try {
        command();
        return;
    } catch (const std::bad_alloc&) {
        failure = "There is not enough memory for this command.";
    } catch (...) {
        failure = "The command stopped because of an unexpected error.";
    }
    show_or_print(show_message, failure);
}

}  // namespace

// The window's face. Liberation Sans has the metrics of the sans-serif face
// the layout was drawn for; 11 pixels is 8.25 points at 96 dots per inch.
// Slightly narrowed so that the longest captions keep clear of the boxes
// beside them.
QFont program_font(bool bold) {
    QFont font;
    font.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("Arial"), QStringLiteral("DejaVu Sans")});
    font.setPixelSize(11);
    font.setStretch(95);
    font.setWeight(bold ? QFont::Bold : QFont::Normal);
    return font;
}

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent),
      save_dialog_(std::make_unique<QtSaveDialog>()),
      message_handler_([this](const QString& text) { show_message_box(this, text); }) {
    register_window_resources();
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(application_title);
    setWindowIcon(QIcon(QStringLiteral(":/icons/elutrix.png")));
    setFont(program_font(false));

    auto* area = new QWidget(this);
    area->setObjectName(QStringLiteral("client_area"));
    setCentralWidget(area);

    build_table(area);
    build_peak_model_frame(area);
    build_baseline_frame(area);
    build_noise_frame(area);
    build_efficiency_frame(area);

    reset_button_ = place(new QPushButton(QStringLiteral("Reset"), area), "Command3", twips_rect(240, 4560, 615, 615));
    update_button_ =
        place(new QPushButton(QStringLiteral("Update"), area), "Command2", twips_rect(960, 4560, 2535, 615));
    write_button_ = place(new QPushButton(QStringLiteral("Write  datafile"), area), "Command1",
                          twips_rect(3600, 4560, 2535, 615));
    for (QPushButton* button : {reset_button_, update_button_, write_button_}) button->setAutoDefault(false);
    connect(reset_button_, &QPushButton::clicked, this, &MainWindow::reset_clicked);
    connect(update_button_, &QPushButton::clicked, this, &MainWindow::update_clicked);
    connect(write_button_, &QPushButton::clicked, this, &MainWindow::write_datafile_clicked);

    picture_ = new PictureBox(QSize(px(10500), px(3750)), area);
    picture_->setObjectName(QStringLiteral("Picture1"));
    picture_->move(px(240), px(5400));

    build_menu();
    set_tab_order();
    write_table(factory_table());
    write_settings(SimulationSettings{});
    rows_[0].on->setFocus();

    resize(px(client_width), px(client_height) + menuBar()->sizeHint().height());
}

MainWindow::~MainWindow() = default;

void MainWindow::build_table(QWidget* area) {
    make_label(area, "void_time", QStringLiteral("void time"), twips_rect(240, 60, 855, label_height), true)->hide();
    void_box_ = make_box(area, "void", 1200, 30, 855);
    void_box_->hide();

    struct Header {
        const char* name;
        const char* caption;
        const char* tip;
        int left;
    };
    const Header headers[] = {
        {"Label11", "Retention Time", "Retention time of peak in minutes", 960},
        {"Label10", "Relative Response", "Scaling factor for peaks", 2040},
        {"Label12", "Theoretical Plates (N)", "Measure of column efficiency, used to set peak bandwidth", 3120},
        {"Label13_0", "Tau",
         "Decay constant; measure of peak tailing used for EMG model; typical range -25<0<25; negative values "
         "indicate peak fronting",
         4200},
        {"Label13_1", "Resolution (R)",
         "Resolution relative to previous component; negative indicates elution before component", 5280},
    };
    for (const Header& header : headers) {
        // Two lines high, standing on the first row.
        QLabel* label = make_label(area, header.name, QString::fromLatin1(header.caption),
                                   twips_rect(header.left, 360, 1035, 465), true);
        label->setWordWrap(true);
        label->setAlignment(Qt::AlignLeft | Qt::AlignBottom);
        label->setToolTip(QString::fromLatin1(header.tip));
    }

    for (int i = 0; i < component_count; ++i) {
        const int top = 840 + 360 * i;
        RowControls& row = rows_[i];
        // Centred on the row's text boxes.
        row.on = place(new QCheckBox(area), "", twips_rect(240, top + 15, 255, 255));
        row.on->setObjectName(numbered("Check1", i));
        QLabel* number = make_label(area, "", QString::number(i + 1), twips_rect(600, top, 345, text_box_height), true);
        number->setObjectName(numbered("Label1", i));
        number->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        row.retention = make_box(area, numbered("Text2", i), 960, top, 855);
        row.response = make_box(area, numbered("Text1", i), 2040, top, 855);
        row.plates = make_box(area, numbered("Text3", i), 3120, top, 855);
        row.tau = make_box(area, numbered("Text4", i), 4200, top, 855);
        row.resolution = make_box(area, numbered("Text5", i), 5280, top, 855);
    }
    // Row 1 has no previous component to be resolved from.
    rows_[0].resolution->hide();
}

void MainWindow::build_peak_model_frame(QWidget* area) {
    QGroupBox* frame = make_frame(area, "Frame1", QStringLiteral("Peak Model"), twips_rect(6360, 120, 4335, 1095));
    gaussian_ = make_option(frame, "Option1", QStringLiteral("Gaussian"), QStringLiteral("normal gaussian peak shape"),
                            360, 240, 2520);
    emg_ = make_option(frame, "Option2", QStringLiteral("exponentially modified Gaussian"),
                       QStringLiteral("asymmetric peak shape"), 360, 480, 2625);
    constant_bandwidth_ = make_check(frame, "Check19", QStringLiteral("constant bandwidth"),
                                     QStringLiteral("bandwidth set by 1st peak"), 360, 720, 2520);
    make_label(frame, "Label4", QStringLiteral("Sampling rate"), twips_rect(3000, 240, 1215, label_height), true);
    sampling_rate_ = make_box(frame, "sampling_rate", 3000, 480, 375);
    make_label(frame, "Label5", QStringLiteral("points/sec"), twips_rect(3480, 480, 810, text_box_height));
    make_group(this, {gaussian_, emg_});
}

void MainWindow::build_baseline_frame(QWidget* area) {
    QGroupBox* frame = make_frame(area, "Frame2", QStringLiteral("Baseline"), twips_rect(6360, 1320, 4335, 1095));
    baseline_flat_ = make_option(frame, "baseline_flat", QStringLiteral("flat"),
                                 QStringLiteral("no baseline modification"), 360, 240, 1425);
    baseline_linear_ = make_option(frame, "baseline_linear", QStringLiteral("linear"),
                                   QStringLiteral("linear baseline contribution, based on tallest peak"), 360, 480, 1425);
    baseline_quad_ = make_option(frame, "baseline_quad", QStringLiteral("quadratic"),
                                 QStringLiteral("quadratic baseline contribution, based on tallest peak"), 360, 720,
                                 1425);

    QWidget* linear_pair = make_plain_frame(frame, "Frame3_0", twips_rect(1800, 480, 1455, 255));
    baseline_linear_up_ = make_option(linear_pair, "baseline_linear_up", QStringLiteral("up"), QString(), 0, 0, 705);
    baseline_linear_down_ =
        make_option(linear_pair, "baseline_linear_down", QStringLiteral("down"), QString(), 720, 0, 735);
    QWidget* quad_pair = make_plain_frame(frame, "Frame3_1", twips_rect(1800, 720, 1575, 255));
    baseline_quad_up_ = make_option(quad_pair, "baseline_quad_up", QStringLiteral("up"), QString(), 0, 0, 705);
    baseline_quad_down_ = make_option(quad_pair, "baseline_quad_down", QStringLiteral("down"), QString(), 720, 0, 855);

    make_label(frame, "Label16", QStringLiteral("% ="), twips_rect(3360, 600, 345, text_box_height));
    baseline_percentage_ = make_box(frame, "baseline_percentage", 3720, 600, 375);

    make_group(this, {baseline_flat_, baseline_linear_, baseline_quad_});
    make_group(this, {baseline_linear_up_, baseline_linear_down_});
    make_group(this, {baseline_quad_up_, baseline_quad_down_});
}

void MainWindow::build_noise_frame(QWidget* area) {
    QGroupBox* frame = make_frame(area, "Frame4", QStringLiteral("Noise"), twips_rect(6360, 2520, 4335, 1215));
    noise_omit_ = make_option(frame, "noise_omit", QStringLiteral("omit"), QStringLiteral("no noise contribution"), 360,
                              240, 1425);
    noise_random_ = make_option(
        frame, "noise_random", QStringLiteral("random noise"),
        QStringLiteral("\"random\" noise generated at the sampling rate; S/N values are typically >> 10"), 360, 480,
        1425);
    noise_random_walk_ = make_option(
        frame, "noise_random_walk", QStringLiteral("drift"),
        QStringLiteral("different algorithm; similar to random walk; S/N values are typically > 100"), 360, 720, 1425);

    QWidget* level = make_plain_frame(frame, "Frame6", twips_rect(1800, 240, 1575, 855));
    level_by_value_ =
        make_option(level, "Option3", QStringLiteral("value ="),
                    QStringLiteral("values typically 0 to 1; larger values indicate more noise"), 0, 120, 840);
    s_to_n_value_ = make_box(level, "s_to_n_value", 840, 120, 615);
    level_by_s_to_n_ = make_option(level, "Option4", QStringLiteral("S/N   ="),
                                   QStringLiteral("S/N value based on smallest component; typically >> 10"), 0, 480, 840);
    s_to_n_percent_ = make_box(level, "s_to_n_percent", 840, 480, 615);

    use_seed_ = make_check(frame, "Check2", QStringLiteral("seed"), QStringLiteral("if checked, noise will be reproducible"),
                           3480, 360, 795);
    seed_ = make_box(frame, "seed", 3480, 720, 615);

    make_group(this, {noise_omit_, noise_random_, noise_random_walk_});
    noise_level_group_ = make_group(this, {level_by_value_, level_by_s_to_n_});
}

void MainWindow::build_efficiency_frame(QWidget* area) {
    QGroupBox* frame = make_frame(area, "Frame5", QStringLiteral("Efficiency"), twips_rect(6360, 3840, 4335, 1335));
    lc_ = make_option(frame, "lc", QStringLiteral("typical LC"), QStringLiteral("(N=10,000)"), 360, 240, 2640);
    gc_ = make_option(frame, "gc", QStringLiteral("typical GC"), QStringLiteral("(N=100,000)"), 360, 480, 2640);
    custom_ = make_option(frame, "custom", QStringLiteral("custom"), QStringLiteral("user defined N"), 360, 720, 2640);
    custom_individual_ = make_option(frame, "custom_individual", QStringLiteral("custom; set peaks individually"),
                                     QStringLiteral("User defined N; peaks can be set individually in table"), 360,
                                     960, 3840);
    make_label(frame, "Label9", QStringLiteral("N = "), twips_rect(3120, 720, 345, text_box_height));
    custom_plates_ = make_box(frame, "N", 3480, 720, 615);
    make_group(this, {lc_, gc_, custom_, custom_individual_});
}

void MainWindow::build_menu() {
    auto* menu = new QMenu(QStringLiteral("Instructions for Use"), this);
    menu->setObjectName(QStringLiteral("menu_about"));
    QAction* instructions = menu->addAction(QStringLiteral("Instructions for Use"));
    instructions->setObjectName(QStringLiteral("about_instructions"));
    QAction* about = menu->addAction(QStringLiteral("About ") + name_and_version);
    about->setObjectName(QStringLiteral("about_name"));
    menuBar()->addMenu(menu);
    connect(instructions, &QAction::triggered, this, &MainWindow::instructions_clicked);
    connect(about, &QAction::triggered, this, &MainWindow::about_clicked);
}

void MainWindow::set_tab_order() {
    // Row 1's check box, then each row's boxes, then the other check boxes,
    // then everything else from the table's right column to the frames.
    std::vector<QWidget*> order{rows_[0].on};
    for (const RowControls& row : rows_) {
        for (QWidget* box : {row.response, row.retention, row.plates, row.tau}) order.push_back(box);
    }
    for (int i = 1; i < component_count; ++i) order.push_back(rows_[i].on);
    for (int i = 1; i < component_count; ++i) order.push_back(rows_[i].resolution);
    for (QWidget* widget : std::initializer_list<QWidget*>{
             reset_button_, update_button_, write_button_, gaussian_, emg_, constant_bandwidth_, sampling_rate_,
             baseline_flat_, baseline_linear_, baseline_quad_, baseline_linear_up_, baseline_linear_down_,
             baseline_quad_up_, baseline_quad_down_, baseline_percentage_, noise_omit_, noise_random_,
             noise_random_walk_, level_by_value_, s_to_n_value_, level_by_s_to_n_, s_to_n_percent_, use_seed_, seed_,
             lc_, gc_, custom_, custom_individual_, custom_plates_}) {
        order.push_back(widget);
    }
    for (std::size_t i = 1; i < order.size(); ++i) setTabOrder(order[i - 1], order[i]);
}

void MainWindow::set_save_dialog(std::unique_ptr<SaveDialog> dialog) { save_dialog_ = std::move(dialog); }

void MainWindow::set_message_handler(MessageHandler handler) { message_handler_ = std::move(handler); }

ComponentTable MainWindow::read_table() const {
    ComponentTable table;
    for (int i = 0; i < component_count; ++i) {
        const RowControls& controls = rows_[i];
        ComponentRow& row = table[i];
        row.enabled = controls.on->isChecked();
        row.retention_time = stdtext(controls.retention);
        row.relative_response = stdtext(controls.response);
        row.plates = stdtext(controls.plates);
        row.tau = stdtext(controls.tau);
        row.resolution = stdtext(controls.resolution);
    }
    return table;
}

SimulationSettings MainWindow::read_settings() const {
    SimulationSettings settings;
    settings.efficiency = lc_->isChecked()       ? EfficiencyChoice::lc
                          : gc_->isChecked()     ? EfficiencyChoice::gc
                          : custom_->isChecked() ? EfficiencyChoice::custom
                                                 : EfficiencyChoice::custom_individual;
    settings.custom_plates = stdtext(custom_plates_);
    settings.peak_model = gaussian_->isChecked() ? PeakModel::Gaussian : PeakModel::ExponentiallyModifiedGaussian;
    settings.constant_bandwidth = constant_bandwidth_->isChecked();
    settings.void_minutes = stdtext(void_box_);
    settings.sampling_rate = stdtext(sampling_rate_);
    settings.baseline_shape = baseline_linear_->isChecked() ? BaselineShape::linear
                              : baseline_quad_->isChecked() ? BaselineShape::quad
                                                            : BaselineShape::flat;
    settings.linear_down = baseline_linear_down_->isChecked();
    settings.quad_down = baseline_quad_down_->isChecked();
    settings.baseline_percentage = stdtext(baseline_percentage_);
    settings.noise_kind = noise_random_->isChecked()        ? NoiseKind::random
                          : noise_random_walk_->isChecked() ? NoiseKind::random_walk
                                                            : NoiseKind::omit;
    settings.level_by_s_to_n = level_by_s_to_n_->isChecked();
    settings.level_by_value = level_by_value_->isChecked();
    settings.s_to_n_percent = stdtext(s_to_n_percent_);
    settings.s_to_n_value = stdtext(s_to_n_value_);
    settings.use_seed = use_seed_->isChecked();
    settings.seed = stdtext(seed_);
    return settings;
}

void MainWindow::write_back(const ComponentTable& before, const ComponentTable& after,
                            const SimulationSettings& settings_before, const SimulationSettings& settings_after) {
    // Only changed texts are written, so a box the run did not touch keeps
    // the user's cursor and selection.
    for (int i = 0; i < component_count; ++i) {
        const RowControls& controls = rows_[i];
        write_if_changed(controls.retention, before[i].retention_time, after[i].retention_time);
        write_if_changed(controls.response, before[i].relative_response, after[i].relative_response);
        write_if_changed(controls.plates, before[i].plates, after[i].plates);
        write_if_changed(controls.tau, before[i].tau, after[i].tau);
        write_if_changed(controls.resolution, before[i].resolution, after[i].resolution);
    }
    // Of the settings, a run writes only the noise-level pair.
    write_if_changed(s_to_n_percent_, settings_before.s_to_n_percent, settings_after.s_to_n_percent);
    write_if_changed(s_to_n_value_, settings_before.s_to_n_value, settings_after.s_to_n_value);
}

void MainWindow::update_clicked() {
    guarded(message_handler_, [this] { run_update(); });
}

void MainWindow::reset_clicked() {
    guarded(message_handler_, [this] { run_reset(); });
}

void MainWindow::instructions_clicked() {
    guarded(message_handler_, [] { show_instructions(); });
}

void MainWindow::about_clicked() {
    guarded(message_handler_, [] { show_about(); });
}

void MainWindow::run_update() {
    const ComponentTable table_before = read_table();
    const SimulationSettings settings_before = read_settings();
    ComponentTable table = table_before;
    SimulationSettings settings = settings_before;
    QString failure;
    {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        struct RestoreCursor {
            ~RestoreCursor() { QApplication::restoreOverrideCursor(); }
        } restore_cursor;
        const RunResult result = update_run(table, settings, trace_, picture_);
        if (!result.ok) failure = QString::fromStdString(result.message);
        // What the run wrote before it stopped stays in the window.
        write_back(table_before, table, settings_before, settings);
    }
    if (!failure.isEmpty() && message_handler_) message_handler_(failure);
}

void MainWindow::write_row(int i, const ComponentRow& row) {
    const RowControls& controls = rows_[i];
    controls.response->setText(qtext(row.relative_response));
    controls.retention->setText(qtext(row.retention_time));
    controls.plates->setText(qtext(row.plates));
    controls.tau->setText(qtext(row.tau));
    controls.resolution->setText(qtext(row.resolution));
    controls.on->setChecked(row.enabled);
}

void MainWindow::write_table(const ComponentTable& table) {
    for (int i = 0; i < component_count; ++i) write_row(i, table[i]);
}

void MainWindow::write_settings(const SimulationSettings& settings) {
    (settings.peak_model == PeakModel::Gaussian ? gaussian_ : emg_)->setChecked(true);
    constant_bandwidth_->setChecked(settings.constant_bandwidth);
    sampling_rate_->setText(qtext(settings.sampling_rate));
    switch (settings.baseline_shape) {
    case BaselineShape::flat: baseline_flat_->setChecked(true); break;
    case BaselineShape::linear: baseline_linear_->setChecked(true); break;
    case BaselineShape::quad: baseline_quad_->setChecked(true); break;
    }
    (settings.linear_down ? baseline_linear_down_ : baseline_linear_up_)->setChecked(true);
    (settings.quad_down ? baseline_quad_down_ : baseline_quad_up_)->setChecked(true);
    baseline_percentage_->setText(qtext(settings.baseline_percentage));
    switch (settings.noise_kind) {
    case NoiseKind::omit: noise_omit_->setChecked(true); break;
    case NoiseKind::random: noise_random_->setChecked(true); break;
    case NoiseKind::random_walk: noise_random_walk_->setChecked(true); break;
    }
    // An exclusive group keeps its checked button, and the level pair may
    // have neither selected, so the group lets go for a moment.
    noise_level_group_->setExclusive(false);
    level_by_value_->setChecked(settings.level_by_value);
    level_by_s_to_n_->setChecked(settings.level_by_s_to_n && !settings.level_by_value);
    noise_level_group_->setExclusive(true);
    s_to_n_value_->setText(qtext(settings.s_to_n_value));
    s_to_n_percent_->setText(qtext(settings.s_to_n_percent));
    use_seed_->setChecked(settings.use_seed);
    seed_->setText(qtext(settings.seed));
    switch (settings.efficiency) {
    case EfficiencyChoice::lc: lc_->setChecked(true); break;
    case EfficiencyChoice::gc: gc_->setChecked(true); break;
    case EfficiencyChoice::custom: custom_->setChecked(true); break;
    case EfficiencyChoice::custom_individual: custom_individual_->setChecked(true); break;
    }
    custom_plates_->setText(qtext(settings.custom_plates));
}

void MainWindow::run_reset() {
    // Every row emptied and switched off, then the factory settings, then
    // row 1 as a fresh start shows it, except that its relative response
    // is written as "1" rather than "1.00".
    write_table(ComponentTable{});
    write_settings(SimulationSettings{});
    ComponentRow first = factory_table()[0];
    first.relative_response = "1";
    write_row(0, first);
    picture_->cls();
}

void MainWindow::write_datafile_clicked() { write_datafile_command(this, *save_dialog_, trace_, message_handler_); }

}  // namespace elutrix::ui
