// A scenario run by elutrix-generate is one press of "Update" in a window
// holding its inputs: the same .xy bytes as "Write  datafile" after that
// Update, the same written-back texts, and the same message when the run
// stops.
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "generate/batch.h"
#include "generate/scenario.h"
#include "window_controls.h"

using namespace elutrix::ui::testing;
using elutrix::ui::MainWindow;

namespace {

QByteArray contents(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return QByteArray("<unreadable>");
    return file.readAll();
}

QString text_of(const nlohmann::json& value) { return QString::fromStdString(value.get<std::string>()); }

}  // namespace

class GenerateIdentity : public QObject {
    Q_OBJECT

private slots:
    void same_file_as_the_window_data() {
        QTest::addColumn<QByteArray>("scenario");
        QTest::newRow("factory") << QByteArray("{}");
        QTest::newRow("factory, seeded random noise at S/N 100")
            << QByteArray(R"({"seed": 1, "settings": {"noise_kind": "random", "level_by_s_to_n": true,
                              "s_to_n_percent": 100}})");
        QTest::newRow("exponentially modified pair from a resolution, typical GC")
            << QByteArray(R"({"rows": [{"retention_time": 2, "tau": 2}, {"enabled": true, "resolution": 1.2, "tau": 1}],
                              "settings": {"peak_model": "ExponentiallyModifiedGaussian", "efficiency": "gc"}})");
        QTest::newRow("drift by value, falling linear baseline, constant bandwidth")
            << QByteArray(R"({"seed": "9", "rows": [{"retention_time": 1.5}, {"enabled": true, "retention_time": 3,
                              "relative_response": 0.4}],
                              "settings": {"noise_kind": "random_walk", "level_by_value": true, "s_to_n_value": 0.002,
                              "baseline_shape": "linear", "linear_down": true, "baseline_percentage": 15,
                              "constant_bandwidth": true}})");
        QTest::newRow("custom plates with a blank, a chain of resolutions, quadratic baseline")
            << QByteArray(R"({"rows": [{"retention_time": 1}, {"enabled": true, "resolution": 1.5},
                              {"enabled": true, "resolution": -0.8, "relative_response": 2}],
                              "settings": {"efficiency": "custom", "custom_plates": "2500 ", "sampling_rate": 7.5,
                              "baseline_shape": "quad", "baseline_percentage": "5"}})");
        QTest::newRow("fronting peaks by row, seeded noise, 90,000 points")
            << QByteArray(R"({"seed": -4, "rows": [{"retention_time": 5, "plates": 4000, "tau": -3},
                              {"enabled": true, "retention_time": 10, "plates": 9000, "tau": 5, "relative_response": 3},
                              {"enabled": false, "retention_time": 7, "relative_response": 9}],
                              "settings": {"efficiency": "custom_individual", "sampling_rate": 100,
                              "peak_model": "ExponentiallyModifiedGaussian", "noise_kind": "random",
                              "level_by_s_to_n": true, "s_to_n_percent": 30}})");
    }

    void same_file_as_the_window() {
        QFETCH(QByteArray, scenario);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const std::string text = scenario.toStdString();
        const elutrix::generate::ScenarioFile file = elutrix::generate::read_scenarios(text, "run");
        QVERIFY(file.error.empty() && file.entries.size() == 1 && file.entries[0].scenario);
        const elutrix::generate::Scenario& s = *file.entries[0].scenario;

        elutrix::generate::BatchOptions options;
        options.out_dir = dir.filePath(QStringLiteral("generated")).toStdString();
        const elutrix::generate::BatchReport report = elutrix::generate::run_batch(
            std::vector<elutrix::generate::ScenarioSource>{{"run.json", file}}, options);
        QVERIFY(report.ok());

        MainWindow window;
        enter(window, s.rows, s.settings);
        const QString exported = dir.filePath(QStringLiteral("window.xy"));
        window.set_save_dialog(std::make_unique<FakeSaveDialog>(exported));
        Messages messages;
        window.set_message_handler(messages.handler());
        button(window, QStringLiteral("Command2"))->click();
        button(window, QStringLiteral("Command1"))->click();
        QVERIFY(messages.shown.isEmpty());

        const QByteArray generated = contents(dir.filePath(QStringLiteral("generated/run.xy")));
        QVERIFY(!generated.isEmpty());
        QVERIFY(generated == contents(exported));

        // The record shows the texts the window shows after the run.
        const nlohmann::json record =
            nlohmann::json::parse(contents(dir.filePath(QStringLiteral("generated/run.json"))).toStdString());
        for (int i = 0; i < elutrix::component_count; ++i) {
            const nlohmann::json& row = record["rows"][i];
            QCOMPARE(box(window, cell("Text2", i))->text(), text_of(row["retention_time"]));
            QCOMPARE(box(window, cell("Text1", i))->text(), text_of(row["relative_response"]));
            QCOMPARE(box(window, cell("Text3", i))->text(), text_of(row["plates"]));
            QCOMPARE(box(window, cell("Text5", i))->text(), text_of(row["resolution"]));
        }
        QCOMPARE(box(window, QStringLiteral("s_to_n_value"))->text(), text_of(record["settings"]["s_to_n_value"]));
        QCOMPARE(box(window, QStringLiteral("s_to_n_percent"))->text(), text_of(record["settings"]["s_to_n_percent"]));
    }

    void same_message_as_the_window() {
        const std::string text = R"({"name": "long", "rows": [{"retention_time": 10}], "settings": {"sampling_rate": 2000}})";
        const elutrix::generate::ScenarioFile file = elutrix::generate::read_scenarios(text, "run");
        QVERIFY(file.entries.size() == 1 && file.entries[0].scenario);
        QTemporaryDir dir;
        elutrix::generate::BatchOptions options;
        options.out_dir = dir.path().toStdString();
        const elutrix::generate::BatchReport report = elutrix::generate::run_batch(
            std::vector<elutrix::generate::ScenarioSource>{{"long.json", file}}, options);
        QCOMPARE(report.failures.size(), std::size_t{1});

        MainWindow window;
        enter(window, file.entries[0].scenario->rows, file.entries[0].scenario->settings);
        Messages messages;
        window.set_message_handler(messages.handler());
        button(window, QStringLiteral("Command2"))->click();
        QCOMPARE(messages.shown.size(), 1);
        QCOMPARE(QString::fromStdString(report.failures[0]),
                 QStringLiteral("\"long\" (long.json): ") + messages.shown[0]);
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("long.xy"))));
    }
};

QTEST_MAIN(GenerateIdentity)
#include "tst_generate_identity.moc"
