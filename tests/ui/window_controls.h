// Helpers of the window tests: controls by name, a Save dialog that answers
// by itself, collected messages, and typing records into the controls.
#pragma once

#include <QAbstractButton>
#include <QLineEdit>
#include <QStringList>
#include <optional>

#include "engine/inputs.h"
#include "ui/main_window.h"

namespace elutrix::ui::testing {

using elutrix::ComponentTable;
using elutrix::SimulationSettings;

struct Messages {
    QStringList shown;
    elutrix::ui::MessageHandler handler() {
        return [this](const QString& text) { shown.append(text); };
    }
};

// Answers every question with the same path, or cancels when it has none.
class FakeSaveDialog : public elutrix::ui::SaveDialog {
public:
    explicit FakeSaveDialog(std::optional<QString> answer) : answer_(std::move(answer)) {}
    std::optional<QString> ask(QWidget*) override {
        ++asked;
        return answer_;
    }
    int asked = 0;

private:
    std::optional<QString> answer_;
};

inline QWidget* control(const MainWindow& window, const QString& name) {
    QWidget* widget = window.findChild<QWidget*>(name);
    if (!widget) qFatal("no control named %s", qPrintable(name));
    return widget;
}
inline QLineEdit* box(const MainWindow& window, const QString& name) { return qobject_cast<QLineEdit*>(control(window, name)); }
inline QAbstractButton* button(const MainWindow& window, const QString& name) {
    return qobject_cast<QAbstractButton*>(control(window, name));
}
inline QString cell(const char* column, int row) { return QString::fromLatin1(column) + u'_' + QString::number(row); }

// Puts a table and settings into the window's controls, as a user would.
inline void enter(MainWindow& window, const ComponentTable& rows, const SimulationSettings& s) {
    for (int i = 0; i < elutrix::component_count; ++i) {
        button(window, cell("Check1", i))->setChecked(rows[i].enabled);
        box(window, cell("Text2", i))->setText(QString::fromStdString(rows[i].retention_time));
        box(window, cell("Text1", i))->setText(QString::fromStdString(rows[i].relative_response));
        box(window, cell("Text3", i))->setText(QString::fromStdString(rows[i].plates));
        box(window, cell("Text4", i))->setText(QString::fromStdString(rows[i].tau));
        box(window, cell("Text5", i))->setText(QString::fromStdString(rows[i].resolution));
    }
    using elutrix::BaselineShape;
    using elutrix::EfficiencyChoice;
    using elutrix::NoiseKind;
    const char* efficiency[] = {"lc", "gc", "custom", "custom_individual"};
    button(window, efficiency[static_cast<int>(s.efficiency)])->click();
    box(window, "N")->setText(QString::fromStdString(s.custom_plates));
    button(window, s.peak_model == elutrix::PeakModel::Gaussian ? "Option1" : "Option2")->click();
    button(window, "Check19")->setChecked(s.constant_bandwidth);
    box(window, "sampling_rate")->setText(QString::fromStdString(s.sampling_rate));
    box(window, "void")->setText(QString::fromStdString(s.void_minutes));
    const char* shapes[] = {"baseline_flat", "baseline_linear", "baseline_quad"};
    button(window, shapes[static_cast<int>(s.baseline_shape)])->click();
    button(window, s.linear_down ? "baseline_linear_down" : "baseline_linear_up")->click();
    button(window, s.quad_down ? "baseline_quad_down" : "baseline_quad_up")->click();
    box(window, "baseline_percentage")->setText(QString::fromStdString(s.baseline_percentage));
    const char* kinds[] = {"noise_omit", "noise_random", "noise_random_walk"};
    button(window, kinds[static_cast<int>(s.noise_kind)])->click();
    if (s.level_by_s_to_n) button(window, "Option4")->click();
    if (s.level_by_value) button(window, "Option3")->click();
    box(window, "s_to_n_percent")->setText(QString::fromStdString(s.s_to_n_percent));
    box(window, "s_to_n_value")->setText(QString::fromStdString(s.s_to_n_value));
    button(window, "Check2")->setChecked(s.use_seed);
    box(window, "seed")->setText(QString::fromStdString(s.seed));
}

}  // namespace elutrix::ui::testing
