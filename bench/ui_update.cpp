// The whole "Update" of a 1,000,000-point run of ten exponentially modified
// Gaussian peaks, from the click to the drawn picture, and the same followed
// by "Write  datafile" (run alone under /usr/bin/time -v for the program's
// peak memory).
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QRadioButton>
#include <memory>
#include <optional>

#include "ui/main_window.h"
#include "ui/window_controls.h"
#include "ui/picture_box.h"

namespace {

QApplication& application() {
    static int argc = 1;
    static char name[] = "ui_bench";
    static char* argv[] = {name, nullptr};
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication app(argc, argv);
    return app;
}

// Ten EMG components at 1 to 10 min, tau 1 to 10, typical LC plates;
// 1111.111 points per second over the 15 min run gives 1,000,000 points.
void enter_ten_emg_peaks(elutrix::ui::MainWindow& window) {
    for (int j = 0; j < 10; ++j) {
        const QString row = QString::number(j);
        window.findChild<QCheckBox*>("Check1_" + row)->setChecked(true);
        window.findChild<QLineEdit*>("Text2_" + row)->setText(QString::number(j + 1));
        window.findChild<QLineEdit*>("Text1_" + row)->setText("1");
        window.findChild<QLineEdit*>("Text4_" + row)->setText(QString::number(j + 1));
    }
    window.findChild<QRadioButton*>("Option2")->setChecked(true);
    window.findChild<QLineEdit*>("sampling_rate")->setText("1111.111");
}

void BM_UpdateTenEmg1M(benchmark::State& state) {
    application();
    elutrix::ui::MainWindow window;
    QString failure;
    window.set_message_handler([&](const QString& text) { failure = text; });
    enter_ten_emg_peaks(window);
    for (auto _ : state) {
        window.update_clicked();
        window.picture()->repaint();
    }
    if (!failure.isEmpty()) state.SkipWithError(failure.toUtf8().constData());
    if (window.trace().point_count != 1000000) state.SkipWithError("not a 1,000,000-point run");
}
BENCHMARK(BM_UpdateTenEmg1M)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_UpdateAndExportTenEmg1M(benchmark::State& state) {
    application();
    elutrix::ui::MainWindow window;
    QString failure;
    window.set_message_handler([&](const QString& text) { failure = text; });
    const QString path = QDir::temp().filePath("elutrix_bench_update.xy");
    window.set_save_dialog(std::make_unique<elutrix::ui::testing::FakeSaveDialog>(path));
    enter_ten_emg_peaks(window);
    for (auto _ : state) {
        window.update_clicked();
        window.write_datafile_clicked();
    }
    QFile::remove(path);
    if (!failure.isEmpty()) state.SkipWithError(failure.toUtf8().constData());
}
BENCHMARK(BM_UpdateAndExportTenEmg1M)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
