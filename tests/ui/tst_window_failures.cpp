// Inputs without a defined result, through the window: every such Update shows
// one message that names what to change, and leaves the last good trace, its
// export table and the picture exactly as they were. A randomized run over the
// window's whole input surface checks that no input crashes the program or
// puts a non-finite number into a box, the trace or the picture.
#include <QAbstractButton>
#include <QCheckBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QtTest>
#include <cmath>
#include <random>
#include <vector>

#include "ui/main_window.h"
#include "ui/picture_box.h"

using elutrix::ui::MainWindow;

namespace {

QLineEdit* box(const MainWindow& window, const QString& name) {
    auto* edit = window.findChild<QLineEdit*>(name);
    if (!edit) qFatal("no box named %s", qPrintable(name));
    return edit;
}
QAbstractButton* button(const MainWindow& window, const QString& name) {
    auto* b = window.findChild<QAbstractButton*>(name);
    if (!b) qFatal("no button named %s", qPrintable(name));
    return b;
}
QString cell(const char* column, int row) { return QString::fromLatin1(column) + u'_' + QString::number(row); }

// A value that no box may ever show.
bool shows_non_finite(const QString& text) {
    const QString lower = text.toLower();
    return lower.contains(QLatin1String("inf")) || lower.contains(QLatin1String("nan"));
}

struct Snapshot {
    std::int32_t point_count;
    std::vector<elutrix::TracePoint> exported;
    QImage picture;

    static Snapshot of(const MainWindow& window) {
        const elutrix::Trace& trace = window.trace();
        const auto count = std::max<std::int32_t>(trace.point_count, 0);
        return {trace.point_count,
                std::vector<elutrix::TracePoint>(trace.export_points.begin(), trace.export_points.begin() + count + 1),
                window.picture()->image().copy()};
    }
    bool operator==(const Snapshot& other) const {
        if (point_count != other.point_count || picture != other.picture || exported.size() != other.exported.size())
            return false;
        for (std::size_t i = 1; i < exported.size(); ++i) {
            if (std::memcmp(&exported[i], &other.exported[i], sizeof(elutrix::TracePoint)) != 0) return false;
        }
        return true;
    }
};

}  // namespace

// One edit of the window before the failing Update: a box and its new text,
// or a button to click (text null).
struct Edit {
    QString control;
    QString text;
};
Q_DECLARE_METATYPE(Edit)

class WindowFailures : public QObject {
    Q_OBJECT

private slots:
    void failing_update_reports_and_keeps_last_good_run_data();
    void failing_update_reports_and_keeps_last_good_run();
    void randomized_inputs_never_crash_or_show_non_finite_numbers();
};

void WindowFailures::failing_update_reports_and_keeps_last_good_run_data() {
    QTest::addColumn<QList<Edit>>("edits");
    QTest::addColumn<QStringList>("message_parts");

    const QList<Edit> row2_by_resolution = {{cell("Check1", 1), {}}, {cell("Text5", 1), "1.5"}};
    QTest::newRow("derived time, plate count 0")
        << (row2_by_resolution + QList<Edit>{{"custom_individual", {}}})
        << QStringList{"Row 2", "plate count (N)", "greater than 0"};
    QTest::newRow("derived time, negative plate count")
        << (row2_by_resolution + QList<Edit>{{"custom_individual", {}}, {cell("Text3", 1), "-5"}})
        << QStringList{"Row 2", "plate count (N) is negative"};
    QTest::newRow("derived time, resolution equal to sqrt(N)/2")
        << QList<Edit>{{cell("Check1", 1), {}}, {cell("Text5", 1), "50"}}
        << QStringList{"Row 2", "infinitely late", "smaller resolution"};
    QTest::newRow("0/0 resolution: empty row after a row without time")
        << QList<Edit>{{cell("Check1", 1), {}}, {cell("Check1", 2), {}}, {cell("Text1", 1), "1"}, {cell("Text1", 2), "1"}}
        << QStringList{"Row 3", "no retention time", "Row 2"};
    QTest::newRow("retention times of opposite sign and equal size")
        << QList<Edit>{{cell("Check1", 1), {}}, {cell("Text2", 1), "-1"}, {cell("Text1", 1), "1"}}
        << QStringList{"Row 1", "Row 2", "add up to 0"};
    QTest::newRow("negative plate count in row 1")
        << QList<Edit>{{"custom_individual", {}}, {cell("Text3", 0), "-10000"}}
        << QStringList{"Row 1", "negative"};
    QTest::newRow("more than 1,000,000 points")
        << QList<Edit>{{"sampling_rate", "20000"}}
        << QStringList{"1800000 points", "1,000,000", "Lower the sampling rate or the latest retention time"};
    QTest::newRow("point count beyond 32 bits")
        << QList<Edit>{{"sampling_rate", "1e300"}}
        << QStringList{"1,000,000", "Lower the sampling rate"};
    QTest::newRow("negative point count beyond 32 bits")
        << QList<Edit>{{"sampling_rate", "-1e300"}}
        << QStringList{"sampling rate greater than 0"};
    QTest::newRow("non-finite response from a huge relative response")
        << QList<Edit>{{"gc", {}}, {cell("Text1", 0), "1e308"}}
        << QStringList{"Row 1", "relative response"};
    QTest::newRow("non-finite S/N write-back from a tiny noise value")
        << QList<Edit>{{"noise_random", {}}, {"Option3", {}}, {"s_to_n_value", "1e-320"}}
        << QStringList{"noise value", "larger noise value"};
    QTest::newRow("subnormal tau: the model has no number after the centre")
        << QList<Edit>{{"Option2", {}}, {cell("Text4", 0), "1e-320"}}
        << QStringList{"Row 1", "cannot be computed", "tau"};
}

void WindowFailures::failing_update_reports_and_keeps_last_good_run() {
    QFETCH(QList<Edit>, edits);
    QFETCH(QStringList, message_parts);

    MainWindow window;
    QStringList messages;
    window.set_message_handler([&](const QString& text) { messages.append(text); });
    window.update_clicked();  // the last good run: the factory chromatogram
    QVERIFY(messages.isEmpty());
    QCOMPARE(window.trace().point_count, 1800);
    const Snapshot good = Snapshot::of(window);

    for (const Edit& edit : edits) {
        if (edit.text.isNull()) {
            button(window, edit.control)->click();
        } else {
            box(window, edit.control)->setText(edit.text);
        }
    }
    window.update_clicked();

    QCOMPARE(messages.size(), 1);
    for (const QString& part : message_parts) {
        QVERIFY2(messages.first().contains(part), qPrintable(messages.first() + " lacks: " + part));
    }
    QVERIFY(Snapshot::of(window) == good);
    for (QLineEdit* edit : window.findChildren<QLineEdit*>()) {
        QVERIFY2(!shows_non_finite(edit->text()), qPrintable(edit->objectName() + ": " + edit->text()));
    }
}

void WindowFailures::randomized_inputs_never_crash_or_show_non_finite_numbers() {
    // Fewer inputs in the much slower sanitizer build; the same seed in both.
    const int iterations = qEnvironmentVariableIsSet("ELUTRIX_SANITIZED") ? 300 : 1500;
    std::mt19937 random(20261208);
    auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };

    const QStringList junk = {"", " ", "x", "1,5", "--1", ".", "e5", "1e", "+", "-0", "0", "1e999", "-1e999",
                              "1e308", "1e-320", "NaN", "inf", "\t7 \n", "2.5 min", "0x10", "1.2.3", "  -3e2x"};
    auto random_text = [&]() -> QString {
        switch (pick(6)) {
        case 0: return junk[pick(junk.size())];
        case 1: return QString::number(pick(40) - 10);
        case 2: return QString::number(std::uniform_real_distribution<double>(-5.0, 30.0)(random), 'g', 12);
        case 3: return QString::number(std::pow(10.0, pick(700) - 350) * (pick(2) ? 1 : -1), 'g', 6);
        case 4: {
            QString bytes;
            for (int i = pick(8); i > 0; --i) bytes += QChar(pick(0x250) + 1);
            return bytes;
        }
        default: return QString::number(pick(200000));
        }
    };

    MainWindow window;
    int messages = 0;
    window.set_message_handler([&](const QString& text) {
        QVERIFY(!text.isEmpty());
        ++messages;
    });
    const QList<QLineEdit*> boxes = window.findChildren<QLineEdit*>();
    const QList<QCheckBox*> checks = window.findChildren<QCheckBox*>();
    const QList<QRadioButton*> options = window.findChildren<QRadioButton*>();
    QVERIFY(boxes.size() >= 50);
    const QRegularExpression number("^-?[0-9]+(\\.[0-9]+)?(e[-+][0-9]+)?$");

    for (int iteration = 0; iteration < iterations; ++iteration) {
        if (pick(10) == 0) window.reset_clicked();
        for (QLineEdit* edit : boxes) {
            if (pick(3) == 0) edit->setText(random_text());
        }
        for (QCheckBox* check : checks) {
            if (pick(4) == 0) check->click();
        }
        for (QRadioButton* option : options) {
            if (pick(6) == 0) option->click();
        }
        // Keep most runs small so that many inputs fit in the time.
        if (pick(4) != 0) box(window, "sampling_rate")->setText(QString::number(pick(50)));

        QStringList typed;
        for (QLineEdit* edit : boxes) typed.append(edit->text());
        window.update_clicked();

        const elutrix::Trace& trace = window.trace();
        QVERIFY(trace.point_count <= elutrix::Trace::capacity);
        for (std::int32_t i = 1; i <= trace.point_count; ++i) {
            QVERIFY(std::isfinite(trace.export_points[i].time));
            QVERIFY(std::isfinite(trace.export_points[i].response));
        }
        // Every text the run wrote is an ordinary number, or the custom
        // plate count copied as typed.
        for (int b = 0; b < boxes.size(); ++b) {
            const QString text = boxes[b]->text();
            if (text == typed[b]) continue;
            if (boxes[b]->objectName().startsWith("Text3_") && text == box(window, "N")->text()) continue;
            QVERIFY2(number.match(text).hasMatch() && !shows_non_finite(text),
                     qPrintable(boxes[b]->objectName() + ": " + text));
        }
    }
    qInfo("randomized window inputs: %d updates, %d of them ended with a message", iterations, messages);
}

QTEST_MAIN(WindowFailures)
#include "tst_window_failures.moc"
