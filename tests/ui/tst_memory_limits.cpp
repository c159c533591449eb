// Running out of memory: the program under lowered address-space limits,
// from limits where it cannot start to limits where everything works, never
// aborts and says why when it cannot go on; and every command of the window
// survives allocations that fail, reports at most once and goes on.
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <map>
#include <optional>
#include <sys/resource.h>

#include "allocation_failure.h"
#include "ui/main_window.h"
#include "window_controls.h"
#include "ui/program.h"

using elutrix::ui::MainWindow;

#if defined(__SANITIZE_ADDRESS__)
// The toolkit's own code is not exception-safe: where an allocation fails
// inside it (a text set into a box, here), it loses the texts it had made.
extern "C" const char* __lsan_default_suppressions() { return "leak:QArrayData::allocate\n"; }
#endif

namespace {

QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<absent>");
}

enum class Kind { not_loaded, start_failed, stopped, helper_failed, update_failed, export_failed, all_good };

const char* kind_name(Kind kind) {
    switch (kind) {
    case Kind::not_loaded: return "the loader could not map the libraries";
    case Kind::start_failed: return "could not start, said why";
    case Kind::stopped: return "the toolkit ran out, the program said why";
    case Kind::helper_failed: return "the test helper itself ran out";
    case Kind::update_failed: return "Update reported the memory";
    case Kind::export_failed: return "the export reported its failure";
    case Kind::all_good: return "everything worked";
    }
    return "";
}

struct HelperRun {
    std::optional<Kind> kind;  // none: the run went wrong, see problem
    QString problem;
};

// One run of the helper with the address space limited to limit bytes
// (none when 0). A file written after a good Update must be the reference
// file, where one is given.
HelperRun run_helper(rlim_t limit, const QString& path, const QByteArray* reference) {
    QFile::remove(path);
    QProcess process;
    process.setProgram(QStringLiteral(ELUTRIX_MEMORY_HELPER));
    process.setArguments({path});
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(environment);
    process.setChildProcessModifier([limit] {
        if (limit == 0) return;
        const rlimit address_space{limit, limit};
        setrlimit(RLIMIT_AS, &address_space);
    });
    process.start();
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        return {std::nullopt, QStringLiteral("did not end")};
    }
    const QString out = QString::fromLocal8Bit(process.readAllStandardOutput());
    const QString err = QString::fromLocal8Bit(process.readAllStandardError());
    const QString both = QStringLiteral("\nout: ") + out + QStringLiteral("\nerr: ") + err;
    if (process.exitStatus() != QProcess::NormalExit) return {std::nullopt, QStringLiteral("crashed") + both};

    const QStringList lines = out.split(u'\n', Qt::SkipEmptyParts);
    const QStringList errors = err.split(u'\n', Qt::SkipEmptyParts);
    switch (process.exitCode()) {
    case 127:
        if (err.contains(QLatin1String("error while loading shared libraries"))) return {Kind::not_loaded, {}};
        break;
    case 1:
        if (errors.count(QString::fromLatin1(elutrix::ui::start_memory_failure)) == 1) return {Kind::start_failed, {}};
        if (errors.count(QString::fromLatin1(elutrix::ui::run_memory_failure)) == 1) return {Kind::stopped, {}};
        break;
    case 3:
        return {Kind::helper_failed, {}};
    case 0: {
        const QString export_message = QStringLiteral("message: Unknown error in opening file ") + path;
        const qsizetype export_messages = lines.count(export_message);
        const bool update_failed = lines.contains(QStringLiteral("message: There is not enough memory for this run."));
        if (export_messages == 1 && !lines.contains(QStringLiteral("exported"))) return {Kind::export_failed, {}};
        if (export_messages != 0 || !lines.contains(QStringLiteral("exported"))) break;
        if (update_failed) return {Kind::update_failed, {}};
        if (!reference || contents(path) == *reference) return {Kind::all_good, {}};
        return {std::nullopt, QStringLiteral("the file differs from the unlimited run's") + both};
    }
    default:
        break;
    }
    return {std::nullopt, QStringLiteral("exit status %1").arg(process.exitCode()) + both};
}

}  // namespace

class MemoryLimits : public QObject {
    Q_OBJECT

private slots:
    void program_under_address_space_limits();
    void commands_survive_failing_allocations_data();
    void commands_survive_failing_allocations();
};

void MemoryLimits::program_under_address_space_limits() {
#if defined(__SANITIZE_ADDRESS__)
    QSKIP("AddressSanitizer reserves more address space than any of these limits");
#endif
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("limited.xy"));
    const HelperRun unlimited = run_helper(0, path, nullptr);
    QVERIFY2(unlimited.kind == Kind::all_good, qPrintable(unlimited.problem));
    const QByteArray reference = contents(path);
    QVERIFY(reference.count('\n') == 180000);

    std::map<Kind, int> kinds;
    std::map<Kind, rlim_t> first_limit;
    const auto run = [&](rlim_t limit) {
        const HelperRun result = run_helper(limit, path, &reference);
        if (!result.kind) {
            QTest::qFail(qPrintable(QStringLiteral("at %1 MiB: ").arg(limit >> 20) + result.problem), __FILE__,
                         __LINE__);
            return Kind::not_loaded;
        }
        ++kinds[*result.kind];
        first_limit.emplace(*result.kind, limit);
        return *result.kind;
    };

    // Upwards in steps of 8 MiB until everything works, then in steps of
    // 512 KiB over 16 MiB on either side of that limit, where the window
    // starts but Update, the export or the toolkit's painting may not find
    // the memory they need.
    constexpr rlim_t mib = rlim_t{1} << 20;
    rlim_t limit = 16 * mib;
    while (run(limit) != Kind::all_good) {
        if (QTest::currentTestFailed()) return;
        limit += 8 * mib;
        QVERIFY2(limit <= 2048 * mib, "nothing works even with 2 GiB");
    }
    for (rlim_t fine = limit - 16 * mib; fine <= limit + 16 * mib; fine += mib / 2) {
        run(fine);
        if (QTest::currentTestFailed()) return;
    }

    for (const auto& [kind, count] : kinds) {
        qInfo("%-45s %3d runs, from %4llu MiB", kind_name(kind), count,
              static_cast<unsigned long long>(first_limit[kind] >> 20));
    }
    QVERIFY(kinds[Kind::start_failed] >= 1);
    QVERIFY(kinds[Kind::all_good] >= 1);
}

void MemoryLimits::commands_survive_failing_allocations_data() {
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("failing_size");  // allocations from this size fail
    for (const char* command : {"Update", "Reset", "Write  datafile", "Instructions", "About"}) {
        for (int size : {1, 4096, 1 << 20}) {
            const QString name = QString::fromLatin1(command);
            QTest::addRow("%s, from %d bytes", qPrintable(name), size) << name << size;
        }
    }
}

void MemoryLimits::commands_survive_failing_allocations() {
    QFETCH(QString, command);
    QFETCH(int, failing_size);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("commands.xy"));

    MainWindow window;
    QStringList messages;
    window.set_message_handler([&messages](const QString& text) { messages.append(text); });
    window.set_save_dialog(std::make_unique<elutrix::ui::testing::FakeSaveDialog>(path));
    window.update_clicked();
    QCOMPARE(window.trace().point_count, 1800);
    window.write_datafile_clicked();
    const QByteArray good = contents(path);
    QCOMPARE(good.count('\n'), 1800);
    messages.reserve(10);

    bool thrown = false;
    {
        const elutrix::testing::FailingAllocations failing(static_cast<std::size_t>(failing_size));
        try {
            if (command == QLatin1String("Update")) window.update_clicked();
            if (command == QLatin1String("Reset")) window.reset_clicked();
            if (command == QLatin1String("Write  datafile")) window.write_datafile_clicked();
            if (command == QLatin1String("Instructions")) window.instructions_clicked();
            if (command == QLatin1String("About")) window.about_clicked();
        } catch (...) {
            thrown = true;
        }
    }
    QVERIFY2(!thrown, "an exception left the command");
    QVERIFY2(messages.size() <= 1, qPrintable(messages.join(u'\n')));
    if (command == QLatin1String("Write  datafile")) {
        // Either written as before, or reported once with the old file kept.
        QCOMPARE(contents(path), good);
        if (!messages.isEmpty()) QCOMPARE(messages.first(), QStringLiteral("Unknown error in opening file ") + path);
    }
    qInfo("%s", messages.isEmpty() ? "no message" : qPrintable(messages.first()));

    // The window goes on.
    messages.clear();
    window.reset_clicked();
    window.update_clicked();
    QVERIFY(messages.isEmpty());
    QCOMPARE(window.trace().point_count, 1800);
    QFile::remove(path);
    window.write_datafile_clicked();
    QCOMPARE(contents(path), good);
}

QTEST_MAIN(MemoryLimits)
#include "tst_memory_limits.moc"
