// The program's working window: the component table, the option frames, the
// three commands and the plot area.
#pragma once

#include <QFont>
#include <QMainWindow>
#include <array>
#include <memory>

#include "engine/inputs.h"
#include "engine/synthesis.h"
#include "ui/datafile.h"
#include "ui/message.h"

class QButtonGroup;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace elutrix::ui {

class PictureBox;

// The face of every window of the program, regular or bold.
QFont program_font(bool bold = false);

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // Tests answer the Save dialog and collect messages through these.
    void set_save_dialog(std::unique_ptr<SaveDialog> dialog);
    void set_message_handler(MessageHandler handler);

    const Trace& trace() const { return trace_; }
    PictureBox* picture() const { return picture_; }

public slots:
    // "Update": one simulation run from the window's contents.
    void update_clicked();
    // "Reset": the factory inputs and an empty plot; the trace stays.
    void reset_clicked();
    // "Write  datafile": saves the last trace.
    void write_datafile_clicked();
    // The menu's two items: the Instructions and About windows.
    void instructions_clicked();
    void about_clicked();
    // No exception leaves any of these: a failure shows one message and the
    // window goes on.

private:
    // One row of the component table.
    struct RowControls {
        QCheckBox* on = nullptr;             // Check1
        QLineEdit* response = nullptr;       // Text1
        QLineEdit* retention = nullptr;      // Text2
        QLineEdit* plates = nullptr;         // Text3
        QLineEdit* tau = nullptr;            // Text4
        QLineEdit* resolution = nullptr;     // Text5
    };

    void build_table(QWidget* area);
    void build_peak_model_frame(QWidget* area);
    void build_baseline_frame(QWidget* area);
    void build_noise_frame(QWidget* area);
    void build_efficiency_frame(QWidget* area);
    void build_menu();
    void set_tab_order();

    // Show a table and settings in the controls, as a fresh start and Reset do.
    void write_table(const ComponentTable& table);
    void write_row(int i, const ComponentRow& row);
    void write_settings(const SimulationSettings& settings);

    ComponentTable read_table() const;
    SimulationSettings read_settings() const;
    // The bodies of the Update and Reset commands.
    void run_update();
    void run_reset();

    void write_back(const ComponentTable& before, const ComponentTable& after, const SimulationSettings& settings_before,
                    const SimulationSettings& settings_after);

    std::array<RowControls, component_count> rows_{};
    QLineEdit* void_box_ = nullptr;

    QRadioButton* gaussian_ = nullptr;                // Option1
    QRadioButton* emg_ = nullptr;                     // Option2
    QCheckBox* constant_bandwidth_ = nullptr;         // Check19
    QLineEdit* sampling_rate_ = nullptr;

    QRadioButton* baseline_flat_ = nullptr;
    QRadioButton* baseline_linear_ = nullptr;
    QRadioButton* baseline_quad_ = nullptr;
    QRadioButton* baseline_linear_up_ = nullptr;
    QRadioButton* baseline_linear_down_ = nullptr;
    QRadioButton* baseline_quad_up_ = nullptr;
    QRadioButton* baseline_quad_down_ = nullptr;
    QLineEdit* baseline_percentage_ = nullptr;

    QRadioButton* noise_omit_ = nullptr;
    QRadioButton* noise_random_ = nullptr;
    QRadioButton* noise_random_walk_ = nullptr;
    QRadioButton* level_by_value_ = nullptr;          // Option3
    QRadioButton* level_by_s_to_n_ = nullptr;         // Option4
    QButtonGroup* noise_level_group_ = nullptr;
    QLineEdit* s_to_n_value_ = nullptr;
    QLineEdit* s_to_n_percent_ = nullptr;
    QCheckBox* use_seed_ = nullptr;                   // Check2
    QLineEdit* seed_ = nullptr;

    QRadioButton* lc_ = nullptr;
    QRadioButton* gc_ = nullptr;
    QRadioButton* custom_ = nullptr;
    QRadioButton* custom_individual_ = nullptr;
    QLineEdit* custom_plates_ = nullptr;              // N

    QPushButton* write_button_ = nullptr;             // Command1
    QPushButton* update_button_ = nullptr;            // Command2
    QPushButton* reset_button_ = nullptr;             // Command3
    PictureBox* picture_ = nullptr;                   // Picture1

    Trace trace_;  // allocated once, overwritten by every run
    std::unique_ptr<SaveDialog> save_dialog_;
    MessageHandler message_handler_;
};

}  // namespace elutrix::ui
