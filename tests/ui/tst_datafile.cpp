// The data file command: the exact bytes of the .xy file, the dialog's
// settings, cancelling, and every failure reported once without harm to an
// existing file.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLocale>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>
#include <clocale>
#include <csignal>
#include <memory>
#include <string>
#include <sys/resource.h>

#include "engine/inputs.h"
#include "file_system_support.h"
#include "ui/datafile.h"
#include "window_controls.h"

using elutrix::Trace;
using elutrix::ui::SaveDialog;

using elutrix::ui::testing::FakeSaveDialog;
using elutrix::ui::testing::Messages;

namespace {

QByteArray contents(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return QByteArray("<unreadable>");
    return file.readAll();
}

void put(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

// The number of file descriptors the process holds open.
int open_descriptors() {
    return static_cast<int>(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
}

QStringList entries(const QString& directory) {
    return QDir(directory).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

}  // namespace

class DatafileTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<Trace> trace_ = std::make_unique<Trace>();
    std::unique_ptr<QTemporaryDir> dir_;

    QString path(const QString& name) const { return dir_->filePath(name); }

    // Points 1..n as (time in seconds, response); slot 0 and the slot after
    // the last are filled with values that must never appear in the file.
    void set_points(std::initializer_list<elutrix::TracePoint> points) {
        trace_->export_points[0] = {600.0, 99.0};
        std::int32_t i = 0;
        for (const elutrix::TracePoint& point : points) trace_->export_points[++i] = point;
        trace_->export_points[i + 1] = {660.0, 77.0};
        trace_->point_count = i;
    }

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        QVERIFY(dir_->isValid());
        trace_->point_count = 0;
    }

    void number_forms_data() {
        QTest::addColumn<double>("time");
        QTest::addColumn<double>("response");
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("reads_back");  // the texts read back as the exported values

        QTest::newRow("minutes and a fraction") << 90.0 << 2.5 << QByteArray("1.5,2.5\r\n") << true;
        QTest::newRow("zero") << 0.0 << 0.0 << QByteArray("0,0\r\n") << true;
        QTest::newRow("negative zero") << -0.0 << -0.0 << QByteArray("0,0\r\n") << true;
        QTest::newRow("negative response") << 60.0 << -1.25 << QByteArray("1,-1.25\r\n") << true;
        QTest::newRow("negative time") << -30.0 << -7.0 << QByteArray("-0.5,-7\r\n") << true;
        QTest::newRow("integral values") << 7200.0 << 1000000.0 << QByteArray("120,1000000\r\n") << true;
        QTest::newRow("thirds, 15 digits") << 20.0 << 2.0 / 3.0
                                           << QByteArray("0.333333333333333,0.666666666666667\r\n") << false;
        QTest::newRow("trailing zeros dropped") << 3.0 << 0.1 << QByteArray("0.05,0.1\r\n") << true;
        QTest::newRow("first grid step at 20/s") << 0.05 << 0.0398942280401433
                                                 << QByteArray("0.000833333333333333,0.0398942280401433\r\n") << false;
        QTest::newRow("15 digits stay plain") << 60.0 << 123456789012345.0
                                              << QByteArray("1,123456789012345\r\n") << true;
        QTest::newRow("huge needs an exponent") << 6e21 << -1.5e20 << QByteArray("1e+20,-1.5e+20\r\n") << true;
        QTest::newRow("tiny needs an exponent") << 6e-5 << 1e-300 << QByteArray("1e-06,1e-300\r\n") << true;
        QTest::newRow("smallest subnormal") << 60.0 << 4.9406564584124654e-324
                                            << QByteArray("1,4.94065645841247e-324\r\n") << false;
    }

    void number_forms() {
        QFETCH(double, time);
        QFETCH(double, response);
        QFETCH(QByteArray, line);
        QFETCH(bool, reads_back);

        set_points({{time, response}});
        const QString file = path("forms.xy");
        QVERIFY(elutrix::ui::write_datafile(file, *trace_));
        const QByteArray written = contents(file);
        QCOMPARE(written, line);

        const QList<QByteArray> fields = written.chopped(2).split(',');
        QCOMPARE(fields.size(), 2);
        const double minutes = elutrix::text_value(fields[0].toStdString());
        const double value = elutrix::text_value(fields[1].toStdString());
        if (reads_back) {
            QCOMPARE(minutes, time / 60.0);
            QCOMPARE(value, response);
        } else {
            // 15 digits cannot hold every double; the text is the nearest one.
            QVERIFY(qAbs(minutes - time / 60.0) <= 1e-14 * qAbs(time / 60.0));
            QVERIFY(qAbs(value - response) <= 1e-14 * qAbs(response));
        }
    }

    void only_the_counted_points_in_order() {
        set_points({{90.0, 2.5}, {93.0, -0.125}, {96.0, 0.0}});
        const QString file = path("three.xy");
        QVERIFY(elutrix::ui::write_datafile(file, *trace_));
        QCOMPARE(contents(file), QByteArray("1.5,2.5\r\n1.55,-0.125\r\n1.6,0\r\n"));
    }

    // A full trace crosses many blocks of the writer: every line must arrive
    // whole, in order, with nothing after the last.
    void full_trace_across_blocks() {
        const std::int32_t n = Trace::capacity;
        QByteArray expected;
        expected.reserve(16 * n);
        for (std::int32_t i = 1; i <= n; ++i) {
            const int response = (i % 2001) - 1000;
            trace_->export_points[i] = {60.0 * i, static_cast<double>(response)};
            expected += QByteArray::number(i) + ',' + QByteArray::number(response) + "\r\n";
        }
        trace_->point_count = n;
        const QString file = path("full.xy");
        QVERIFY(elutrix::ui::write_datafile(file, *trace_));
        const QByteArray written = contents(file);
        QCOMPARE(written.size(), expected.size());
        QVERIFY(written == expected);
    }

    // Every number must come out as the window writes numbers (value_text:
    // rounded exactly to 15 significant digits): random doubles of every
    // size, and doubles next to the halves and carries where a shortcut
    // could slip.
    void numbers_match_exact_rounding() {
        std::vector<double> values;
        std::mt19937_64 engine(20240611);
        for (int i = 0; i < 150000; ++i) {
            const double value = std::bit_cast<double>(engine());
            if (std::isfinite(value)) values.push_back(value);
        }
        std::uniform_int_distribution<int> exponent(-320, 308);
        std::uniform_int_distribution<std::uint64_t> digits(100000000000000, 999999999999999);
        for (int i = 0; i < 40000; ++i) {
            // A 16-digit decimal ending in 5, and the doubles around it.
            const std::string text = std::to_string(digits(engine)) + "5e" + std::to_string(exponent(engine));
            const double middle = std::strtod(text.c_str(), nullptr);
            for (double value : {middle, std::nextafter(middle, 0.0), std::nextafter(middle, HUGE_VAL)}) {
                values.push_back(value);
                values.push_back(-value);
            }
        }
        for (double edge : {9.999999999999995, 9.9999999999999947, 9.9999999999999964, 999999999999999.5,
                            999999999999999.4, 1e15, 99999.99999999999, 0.0001, 0.00009999999999999999,
                            0.000099999999999999995, 1e-5, 0.1 + 0.2, 1.0 / 3.0, 5e-324, 2.2250738585072014e-308,
                            2.2250738585072009e-308, 1.7976931348623157e308, 1.79769313486231e308,
                            1.7976931348623105e308, 1e100, 1e-100, 123456789012345680.0}) {
            values.push_back(edge);
            values.push_back(-edge);
        }
        for (int i = 1; i <= 20000; ++i) values.push_back(i * 0.05);

        const auto text = [](double value) { return QByteArray::fromStdString(elutrix::value_text(value)); };
        QByteArray expected;
        std::int32_t n = 0;
        for (std::size_t i = 0; i + 1 < values.size(); i += 2) {
            ++n;
            // The time field is time / 60: give the time that yields the value.
            trace_->export_points[n] = {values[i] * 60.0, values[i + 1]};
            expected += text(values[i] * 60.0 / 60.0) + ',' + text(values[i + 1]) + "\r\n";
        }
        trace_->point_count = n;
        const QString file = path("exact.xy");
        QVERIFY(elutrix::ui::write_datafile(file, *trace_));
        const QList<QByteArray> written = contents(file).split('\n');
        const QList<QByteArray> wanted = expected.split('\n');
        QCOMPARE(written.size(), wanted.size());
        for (qsizetype i = 0; i < wanted.size(); ++i) {
            if (written[i] != wanted[i]) QCOMPARE(written[i], wanted[i]);
        }
    }

    void no_points_gives_an_empty_file_data() {
        QTest::addColumn<int>("count");
        QTest::addColumn<bool>("existing");
        QTest::newRow("before the first run, new file") << 0 << false;
        QTest::newRow("before the first run, existing file") << 0 << true;
        QTest::newRow("negative count, new file") << -5 << false;
        QTest::newRow("negative count, existing file") << -2147483647 << true;
    }

    void no_points_gives_an_empty_file() {
        QFETCH(int, count);
        QFETCH(bool, existing);
        const QString file = path("empty.xy");
        if (existing) put(file, "1,2\r\n3,4\r\n");
        trace_->export_points[1] = {60.0, 1.0};
        trace_->point_count = count;

        FakeSaveDialog dialog(file);
        Messages messages;
        elutrix::ui::write_datafile_command(nullptr, dialog, *trace_, messages.handler());
        QCOMPARE(dialog.asked, 1);
        QVERIFY(messages.shown.isEmpty());
        QVERIFY(QFileInfo(file).isFile());
        QCOMPARE(QFileInfo(file).size(), qint64(0));
        QCOMPARE(entries(dir_->path()), QStringList{"empty.xy"});
    }

    void cancel_touches_nothing() {
        put(path("old.xy"), "old\r\n");
        set_points({{90.0, 2.5}});
        FakeSaveDialog dialog(std::nullopt);
        Messages messages;
        elutrix::ui::write_datafile_command(nullptr, dialog, *trace_, messages.handler());
        QCOMPARE(dialog.asked, 1);
        QVERIFY(messages.shown.isEmpty());
        QCOMPARE(entries(dir_->path()), QStringList{"old.xy"});
        QCOMPARE(contents(path("old.xy")), QByteArray("old\r\n"));
    }

    void existing_file_replaced_and_name_used_as_typed_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("before");
        QTest::newRow("existing .xy file") << "run.xy" << QByteArray(5000, 'x');
        QTest::newRow("typed without extension") << "run" << QByteArray();
        QTest::newRow("existing file without extension") << "run" << QByteArray("a,b\r\n");
        QTest::newRow("other extension") << "run.txt" << QByteArray();
    }

    void existing_file_replaced_and_name_used_as_typed() {
        QFETCH(QString, name);
        QFETCH(QByteArray, before);
        const QString file = path(name);
        if (!before.isEmpty()) put(file, before);
        set_points({{90.0, 2.5}});

        FakeSaveDialog dialog(file);
        Messages messages;
        elutrix::ui::write_datafile_command(nullptr, dialog, *trace_, messages.handler());
        QVERIFY(messages.shown.isEmpty());
        QCOMPARE(contents(file), QByteArray("1.5,2.5\r\n"));
        QCOMPARE(entries(dir_->path()), QStringList{name});  // nothing added, no temporary left
    }

    void unwritable_path_reports_once_data() {
        QTest::addColumn<QString>("name");
        QTest::newRow("folder that does not exist") << "missing/out.xy";
        QTest::newRow("folder chain that does not exist") << "a/b/c/out";
        QTest::newRow("path is a folder") << "folder";
        QTest::newRow("path under a file") << "plain.xy/out.xy";
    }

    void unwritable_path_reports_once() {
        QFETCH(QString, name);
        QVERIFY(QDir(dir_->path()).mkdir("folder"));
        put(path("plain.xy"), "keep\r\n");
        const QStringList before = entries(dir_->path());
        set_points({{90.0, 2.5}, {96.0, 3.0}});

        const QString file = path(name);
        FakeSaveDialog dialog(file);
        Messages messages;
        const int descriptors = open_descriptors();
        QVERIFY(descriptors >= 3);  // the count works here
        elutrix::ui::write_datafile_command(nullptr, dialog, *trace_, messages.handler());
        QCOMPARE(open_descriptors(), descriptors);
        QCOMPARE(messages.shown, QStringList{"Unknown error in opening file " + file});
        QCOMPARE(entries(dir_->path()), before);
        QVERIFY(entries(path("folder")).isEmpty());
        QCOMPARE(contents(path("plain.xy")), QByteArray("keep\r\n"));
    }

    void full_device_reports_once() {
        const QString device = QStringLiteral("/dev/full");
        const QFileInfo info(device);
        if (!info.exists() || !info.isWritable()) QSKIP("no writable /dev/full here");
        set_points({{90.0, 2.5}, {96.0, 3.0}});

        FakeSaveDialog dialog(device);
        Messages messages;
        const int descriptors = open_descriptors();
        QVERIFY(descriptors >= 3);  // the count works here
        elutrix::ui::write_datafile_command(nullptr, dialog, *trace_, messages.handler());
        QCOMPARE(open_descriptors(), descriptors);
        QCOMPARE(messages.shown, QStringList{"Unknown error in opening file /dev/full"});
        // The device must still be a device: it is never replaced by a file.
        QVERIFY(QFileInfo(device).exists());
        QVERIFY(!QFileInfo(device).isFile());
    }

    // A write that fails half-way (here: the process may not grow a file
    // beyond 4 KiB) leaves the old file as it was and no temporary behind.
    void failed_write_keeps_the_old_file() {
        const QByteArray old = "old content\r\n";
        const QString file = path("kept.xy");
        put(file, old);
        for (std::int32_t i = 1; i <= 100000; ++i) trace_->export_points[i] = {0.05 * i, 0.001 * i};
        trace_->point_count = 100000;

        rlimit saved{};
        QVERIFY(getrlimit(RLIMIT_FSIZE, &saved) == 0);
        const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = saved;
        small.rlim_cur = 4096;
        QVERIFY(setrlimit(RLIMIT_FSIZE, &small) == 0);

        FakeSaveDialog dialog(file);
        Messages messages;
        const int descriptors = open_descriptors();
        QVERIFY(descriptors >= 3);  // the count works here
        elutrix::ui::write_datafile_command(nullptr, dialog, *trace_, messages.handler());

        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, old_handler);
        QCOMPARE(open_descriptors(), descriptors);

        QCOMPARE(messages.shown, QStringList{"Unknown error in opening file " + file});
        QCOMPARE(contents(file), old);
        QCOMPARE(entries(dir_->path()), QStringList{"kept.xy"});
    }

    // The export keeps what the user had: a long name, a link, other hard
    // links, the group and the mode.
    void replacement_keeps_what_the_user_had_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("name of 255 bytes") << "long name";
        QTest::newRow("symbolic link to a file elsewhere") << "link";
        QTest::newRow("file with a second hard link") << "hard link";
        QTest::newRow("group and set-group-ID mode") << "group";
    }

    void replacement_keeps_what_the_user_had() {
        QFETCH(QString, kind);
        namespace fs = elutrix::testing;
        const std::string folder = dir_->path().toStdString();
        std::string chosen = folder + "/run.xy";  // what the dialog answers
        std::string target = chosen;              // where the lines must land
        mode_t mode = 0640;
        gid_t group = getegid();
        if (kind == "long name") chosen = target = folder + '/' + std::string(252, 'n') + ".xy";
        if (kind == "link") {
            QVERIFY(QDir(dir_->path()).mkdir("real"));
            target = folder + "/real/kept.xy";
            QVERIFY(symlink("real/kept.xy", chosen.c_str()) == 0);
        }
        fs::write_file(target, "old\r\n", mode);
        if (kind == "hard link") QVERIFY(link(target.c_str(), (folder + "/same.xy").c_str()) == 0);
        if (kind == "group") {
            mode = 02660;
            if (fs::running_as_root()) group = fs::lab_group;
            QVERIFY(chown(target.c_str(), geteuid(), group) == 0);
            QVERIFY(chmod(target.c_str(), mode) == 0);
        }
        const std::set<std::string> names = fs::entries(folder);
        set_points({{90.0, 2.5}});

        FakeSaveDialog dialog(QString::fromStdString(chosen));
        Messages messages;
        elutrix::ui::write_datafile_command(nullptr, dialog, *trace_, messages.handler());
        QVERIFY(messages.shown.isEmpty());
        QCOMPARE(fs::read_file(target), std::string("1.5,2.5\r\n"));
        QCOMPARE(fs::identity(target).mode, mode);
        QCOMPARE(fs::identity(target).group, group);
        QCOMPARE(fs::identity(chosen).is_link, kind == "link");
        if (kind == "hard link") QCOMPARE(fs::read_file(folder + "/same.xy"), fs::read_file(target));
        QVERIFY(fs::entries(folder) == names);
    }

    void comma_locale_still_writes_periods() {
        const QLocale saved_locale;
        const std::string saved_c_locale = std::setlocale(LC_ALL, nullptr);
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        const bool c_locale_set = std::setlocale(LC_ALL, "de_DE.UTF-8") || std::setlocale(LC_ALL, "de_DE");

        set_points({{90.0, 2.5}, {3.0, -1234567.125}});
        const QString file = path("de.xy");
        const bool written = elutrix::ui::write_datafile(file, *trace_);

        std::setlocale(LC_ALL, saved_c_locale.c_str());
        QLocale::setDefault(saved_locale);
        QVERIFY(written);
        QCOMPARE(contents(file), QByteArray("1.5,2.5\r\n0.05,-1234567.125\r\n"));
        if (!c_locale_set) qInfo("no German C locale installed; only the Qt default locale was German");
    }

    // The real dialog, answered by a timer once it is up.
    void save_dialog_settings_and_answers() {
        elutrix::ui::QtSaveDialog dialog;
        const QString first = path("typed");  // no extension: none may be added
        put(first, "old");
        bool checked = false;
        // Should an answer go wrong, the dialog must still close.
        QTimer watchdog;
        watchdog.setInterval(5000);
        connect(&watchdog, &QTimer::timeout, this, [] {
            if (QWidget* box = QApplication::activeModalWidget()) box->close();
        });
        watchdog.start();

        QTimer::singleShot(0, this, [&] {
            auto* box = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            QVERIFY(box);
            QCOMPARE(box->acceptMode(), QFileDialog::AcceptSave);
            QVERIFY(box->isModal());
            QVERIFY(box->testOption(QFileDialog::DontConfirmOverwrite));
            QVERIFY(!box->testOption(QFileDialog::ReadOnly));
            QCOMPARE(box->nameFilters(), QStringList{"xy data (*.xy)"});
            QVERIFY(box->defaultSuffix().isEmpty());
            checked = true;
            // An existing file: accepted at once, no overwrite question.
            box->selectFile(first);
            static_cast<QDialog*>(box)->accept();  // QFileDialog::accept checks the name
        });
        const std::optional<QString> answer = dialog.ask(nullptr);
        QVERIFY(checked);
        QVERIFY(answer.has_value());
        QCOMPARE(*answer, first);

        // The next use starts in the folder of the previous one; cancel it.
        QString shown_folder;
        QTimer::singleShot(0, this, [&] {
            auto* box = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            QVERIFY(box);
            shown_folder = box->directory().absolutePath();
            box->reject();
        });
        QVERIFY(!dialog.ask(nullptr).has_value());
        QCOMPARE(shown_folder, QFileInfo(first).absolutePath());
        QCOMPARE(contents(first), QByteArray("old"));
    }
};

QTEST_MAIN(DatafileTest)
#include "tst_datafile.moc"
