// The Instructions and About windows: their labels and texts, their frame,
// one instance each, and the program's life while they are open.
#include <QApplication>
#include <QFontMetrics>
#include <QLabel>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <QWindow>
#include <QtTest>

#include "ui/info_windows.h"

using elutrix::ui::show_about;
using elutrix::ui::show_instructions;

namespace {

const char* const background_text = R"txt(Values for retention time (minutes), relative response (areas), and efficiency (theoretical plates) are entered for each component.  Values for resolution relative to the previous component can be entered instead of retention time; this option is valid only if the retention time field is blank.  Components can be toggled on/off by utilizing the checkbox field.  A chromatogram is displayed using the current settings when the "Update" box is selected.  X,Y data (i.e., time and response) data can be saved through the "Write datafile" box.)txt";

const char* const options_text = R"txt(Options for inclusion of sampling rate, baseline slope, noise, and efficiency are provided.  The current implementation is limited to 1 million data points (seconds x sampling rate x 1.5))txt";

const char* const emg_text = R"txt(This model is under development and is for qualitative use.  Selection of exponentially modified Gaussian options permits generation of tailing or fronting peak shapes.  Quantitative relative responses for this model are currently not supported, and clipping may result under certain conditions.  When selected, values of tau between -25 to 25 are entered for each peak (Gaussian peak shape results for tau = 0).)txt";

const char* const noise_text = R"txt(Random noise is simulated at the sampling frequency. Drift uses a different algorithm, which is similar to a random walk.  The noise level is adjusted by selection of "S/N" or "Value".  Selection and entry of "S/N" provides an approximate signal to noise ratio based on the magnitude of the smallest component.  Selection and entry of "Value" is independent of component magnitudes.  Selection and entry of a "Seed" permits generation of reproducible noise.)txt";

using Show = QWidget* (*)();

QPoint first_position() {
    return QGuiApplication::primaryScreen()->geometry().topLeft() + QPoint(184, 250);
}

void close_all_windows() {
    for (QWidget* window : QApplication::topLevelWidgets()) window->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

int windows_named(const QString& name) {
    int count = 0;
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window->objectName() == name) ++count;
    }
    return count;
}

}  // namespace

Q_DECLARE_METATYPE(Show)

class InfoWindowsTest : public QObject {
    Q_OBJECT

private:
    // Label rows: object name, geometry in pixels, heading (bold, one line),
    // and the exact text (empty where any true line will do).
    static void label_columns() {
        QTest::addColumn<Show>("show");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<bool>("bold");
        QTest::addColumn<bool>("wrapped");
        QTest::addColumn<QByteArray>("text");
    }

private slots:
    void cleanup() { close_all_windows(); }

    void labels_data() {
        label_columns();
        const Show instructions = show_instructions;
        const Show about = show_about;
        const auto row = [&](Show show, const char* name, QRect geometry, bool bold, bool wrapped, QByteArray text) {
            QTest::addRow("%s %s", show == instructions ? "Dialog" : "Dialog1", name)
                << show << QString::fromLatin1(name) << geometry << bold << wrapped << text;
        };
        row(instructions, "Label2_0", QRect(16, 16, 353, 17), true, false, "Background");
        row(instructions, "Label1_0", QRect(16, 32, 353, 105), false, true, background_text);
        row(instructions, "Label2_1", QRect(16, 152, 353, 17), true, false, "Options");
        row(instructions, "Label1_1", QRect(16, 168, 353, 49), false, true, options_text);
        row(instructions, "Label2_2", QRect(16, 224, 353, 17), true, false, "Exponentially Modified Gaussian");
        row(instructions, "Label1_2", QRect(16, 240, 353, 89), false, true, emg_text);
        row(instructions, "Label2_3", QRect(16, 336, 353, 17), true, false, "Noise");
        row(instructions, "Label1_3", QRect(16, 352, 353, 97), false, true, noise_text);
        row(about, "Label1", QRect(40, 16, 214, 25), true, false, "Elutrix 1.0");
        row(about, "Label2_0", QRect(40, 48, 214, 17), false, false, {});
        row(about, "Label2_1", QRect(40, 64, 214, 17), false, false, {});
        row(about, "Label3", QRect(40, 80, 214, 17), false, false, {});
        row(about, "Label4", QRect(40, 96, 214, 17), false, false, {});
        row(about, "Label5", QRect(40, 112, 214, 17), false, false, {});
        row(about, "Label6", QRect(40, 128, 214, 17), false, false, {});
    }

    void labels() {
        QFETCH(Show, show);
        QFETCH(QString, name);
        QFETCH(QRect, geometry);
        QFETCH(bool, bold);
        QFETCH(bool, wrapped);
        QFETCH(QByteArray, text);

        QWidget* window = show();
        const QList<QLabel*> found = window->findChildren<QLabel*>(name);
        QCOMPARE(found.size(), 1);
        const QLabel* label = found.first();
        QCOMPARE(label->geometry(), geometry);
        QCOMPARE(label->font().weight(), bold ? QFont::Bold : QFont::Normal);
        QCOMPARE(label->wordWrap(), wrapped);
        QCOMPARE(label->textFormat(), Qt::PlainText);
        const QByteArray shown = label->text().toUtf8();
        if (!text.isEmpty()) QCOMPARE(shown, text);
        QVERIFY(!shown.trimmed().isEmpty());
        for (char c : shown) QVERIFY2(c >= 0x20 && c < 0x7f, "only printable ASCII");

        // The whole text is visible: one line within the width, or wrapped
        // within the label's height.
        const QFontMetrics metrics(label->font());
        const QRect needed = metrics.boundingRect(QRect(0, 0, label->width(), 1 << 20),
                                                  Qt::AlignLeft | Qt::AlignTop | (wrapped ? Qt::TextWordWrap : 0),
                                                  label->text());
        QVERIFY2(needed.width() <= label->width(), qPrintable(name + " is cut off at the right"));
        QVERIFY2(needed.height() <= label->height(), qPrintable(name + " is cut off at the bottom"));
    }

    void only_these_labels() {
        QCOMPARE(show_instructions()->findChildren<QLabel*>().size(), 8);
        QCOMPARE(show_about()->findChildren<QLabel*>().size(), 7);
    }

    void frame_data() {
        QTest::addColumn<Show>("show");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QSize>("client");
        QTest::newRow("Instructions") << Show(show_instructions) << "Dialog" << "Instructions for Use" << QSize(387, 462);
        QTest::newRow("About") << Show(show_about) << "Dialog1" << "About" << QSize(254, 158);
    }

    void frame() {
        QFETCH(Show, show);
        QFETCH(QString, name);
        QFETCH(QString, caption);
        QFETCH(QSize, client);

        QWidget main_window;  // another window of the program, active when the menu is used
        main_window.show();
        main_window.activateWindow();

        QWidget* window = show();
        QCOMPARE(window->objectName(), name);
        QCOMPARE(window->windowTitle(), caption);
        QVERIFY(window->isVisible());
        QCOMPARE(window->geometry(), QRect(first_position(), client));
        QCOMPARE(window->minimumSize(), client);
        QCOMPARE(window->maximumSize(), client);

        const Qt::WindowFlags flags = window->windowFlags();
        QCOMPARE(window->windowType(), Qt::Dialog);
        QVERIFY(flags & Qt::MSWindowsFixedSizeDialogHint);
        QVERIFY(flags & Qt::WindowCloseButtonHint);
        QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));

        // Modeless, without an owner, destroyed when closed, and it keeps the
        // program running on its own.
        QCOMPARE(window->windowModality(), Qt::NonModal);
        QCOMPARE(window->parentWidget(), nullptr);
        QVERIFY(window->windowHandle());
        QCOMPARE(window->windowHandle()->transientParent(), nullptr);
        QVERIFY(window->testAttribute(Qt::WA_DeleteOnClose));
        QVERIFY(window->testAttribute(Qt::WA_QuitOnClose));
    }

    void one_instance_each_data() {
        QTest::addColumn<Show>("show");
        QTest::addColumn<QString>("name");
        QTest::newRow("Instructions") << Show(show_instructions) << "Dialog";
        QTest::newRow("About") << Show(show_about) << "Dialog1";
    }

    void one_instance_each() {
        QFETCH(Show, show);
        QFETCH(QString, name);

        QPointer<QWidget> first = show();
        QCOMPARE(first->geometry().topLeft(), first_position());
        // The user moves it; a second click brings the same window forward
        // where it now stands.
        const QPoint moved = first_position() + QPoint(40, 30);
        first->move(moved);
        QCOMPARE(show(), first.data());
        QCOMPARE(windows_named(name), 1);
        QCOMPARE(first->pos(), moved);
        QVERIFY(first->isVisible());

        // Closing destroys it; the next click makes a new one at the start place.
        QVERIFY(first->close());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(first.isNull());
        QCOMPARE(windows_named(name), 0);

        QPointer<QWidget> second = show();
        QVERIFY(second);
        QVERIFY(second->isVisible());
        QCOMPARE(second->geometry().topLeft(), first_position());
        QCOMPARE(windows_named(name), 1);
    }

    void both_open_at_once() {
        QWidget* instructions = show_instructions();
        QWidget* about = show_about();
        QVERIFY(instructions != about);
        QVERIFY(instructions->isVisible());
        QVERIFY(about->isVisible());
        // Opening one again leaves the other alone.
        QCOMPARE(show_instructions(), instructions);
        QVERIFY(about->isVisible());
        QCOMPARE(windows_named("Dialog"), 1);
        QCOMPARE(windows_named("Dialog1"), 1);
    }

    // Closing the main window while the About window is open keeps the
    // program running until the About window is closed too.
    void program_ends_with_the_last_window() {
        QVERIFY(QGuiApplication::quitOnLastWindowClosed());
        auto* main_window = new QWidget;
        main_window->setAttribute(Qt::WA_DeleteOnClose);
        main_window->show();
        QPointer<QWidget> about = show_about();

        QStringList steps;
        connect(qApp, &QGuiApplication::lastWindowClosed, this, [&] { steps << "last window closed"; });
        QTimer::singleShot(0, this, [&] {
            main_window->close();
            steps << "main window closed";
        });
        QTimer::singleShot(200, this, [&] {
            steps << "still running";
            if (about) about->close();
        });
        QTimer::singleShot(10000, this, [] { QCoreApplication::exit(2); });  // should it never end

        const int code = QApplication::exec();
        QCOMPARE(code, 0);
        QCOMPARE(steps, (QStringList{"main window closed", "still running", "last window closed"}));
    }
};

QTEST_MAIN(InfoWindowsTest)
#include "tst_info_windows.moc"
