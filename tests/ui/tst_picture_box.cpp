// The picture box: where user coordinates land, that merging the points of
// one pixel column draws exactly the pixels of drawing every segment, where a
// chromatogram's peak and baseline appear, and that the picture is kept.
#include <QApplication>
#include <QtTest>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "engine/chromatogram.h"
#include "engine/plot.h"
#include "ui/picture_box.h"

using elutrix::SynthesisResult;
using elutrix::Trace;
using elutrix::ui::DrawMode;
using elutrix::ui::PictureBox;
using elutrix::ui::PictureRaster;

namespace {

const QRgb white = qRgb(255, 255, 255);
const QRgb black = qRgb(0, 0, 0);
const QSize window_picture(696, 246);  // inside the window's 700 x 250 frame

// One drawing: a scale, then polylines, each started by pset.
struct Drawing {
    double x1, y1, x2, y2;
    std::vector<std::vector<QPointF>> polylines;
};

QImage draw(const Drawing& drawing, QSize size, DrawMode mode, int pen) {
    PictureRaster raster(size, white, black, mode, pen);
    raster.scale(drawing.x1, drawing.y1, drawing.x2, drawing.y2);
    for (const auto& polyline : drawing.polylines) {
        raster.pset(polyline.front().x(), polyline.front().y());
        for (const QPointF& p : polyline) raster.line(p.x(), p.y());
    }
    return raster.image();
}

int count_pixels(const QImage& image, QRgb colour) {
    int count = 0;
    for (int r = 0; r < image.height(); ++r) {
        for (int c = 0; c < image.width(); ++c) count += image.pixel(c, r) == colour;
    }
    return count;
}

// A trace of n points at spacing dt with the given responses, drawn by the
// plot step into a raster.
QImage plot_trace(const std::vector<double>& responses, double dt, DrawMode mode, int pen, QSize size) {
    static Trace trace;
    const int n = static_cast<int>(responses.size());
    SynthesisResult result;
    result.point_count = n;
    for (int i = 1; i <= n; ++i) {
        trace.times[i] = i * dt;
        trace.responses[i] = responses[i - 1];
        if (responses[i - 1] > result.r_max) result.r_max = responses[i - 1];
        if (responses[i - 1] < result.r_min) result.r_min = responses[i - 1];
    }
    PictureRaster raster(size, white, black, mode, pen);
    elutrix::plot(trace, result, &raster);
    return raster.image();
}

}  // namespace

class PictureBoxTest : public QObject {
    Q_OBJECT

private slots:
    void corners_of_the_user_rectangle_fall_on_the_corner_pixels_data();
    void corners_of_the_user_rectangle_fall_on_the_corner_pixels();
    void positions_round_to_the_nearest_pixel();
    void merged_columns_draw_the_same_pixels_as_every_segment_data();
    void merged_columns_draw_the_same_pixels_as_every_segment();
    void noisy_million_point_traces_match_the_reference_data();
    void noisy_million_point_traces_match_the_reference();
    void single_peak_top_and_baseline_lie_one_eleventh_from_the_edges();
    void lines_are_one_pixel_and_connected();
    void points_outside_the_picture_are_dropped();
    void cls_clears_to_the_background();
    void copies_of_the_picture_keep_what_they_showed();
    void the_box_paints_its_retained_picture();
};

void PictureBoxTest::corners_of_the_user_rectangle_fall_on_the_corner_pixels_data() {
    QTest::addColumn<double>("x1");
    QTest::addColumn<double>("y1");
    QTest::addColumn<double>("x2");
    QTest::addColumn<double>("y2");
    QTest::newRow("chromatogram scale") << 0.0 << -0.3 << 90.0 << 0.73;
    QTest::newRow("y growing upwards") << 0.0 << 5.0 << 1.0 << -5.0;
    QTest::newRow("x growing leftwards") << 10.0 << 0.0 << -10.0 << 1.0;
    QTest::newRow("tiny span") << 1e-9 << 1e-12 << 2e-9 << 3e-12;
    QTest::newRow("huge span") << -1e30 << 1e200 << 1e30 << -1e200;
}

void PictureBoxTest::corners_of_the_user_rectangle_fall_on_the_corner_pixels() {
    QFETCH(double, x1);
    QFETCH(double, y1);
    QFETCH(double, x2);
    QFETCH(double, y2);
    // A pen of 2 pixels, as on a screen of device pixel ratio 2, still
    // touches the first and last column and row.
    for (int pen : {1, 2}) {
        for (QSize size : {window_picture, QSize(3, 2) * pen, QSize(1000, 7)}) {
            PictureRaster raster(size, white, black, DrawMode::merged_columns, pen);
            raster.scale(x1, y1, x2, y2);
            const int right = size.width() - pen;
            const int bottom = size.height() - pen;
            QCOMPARE(raster.pixel(x1, y1), QPoint(0, 0));
            QCOMPARE(raster.pixel(x2, y1), QPoint(right, 0));
            QCOMPARE(raster.pixel(x1, y2), QPoint(0, bottom));
            QCOMPARE(raster.pixel(x2, y2), QPoint(right, bottom));
            raster.pset(x1, y1);
            raster.pset(x2, y2);
            QCOMPARE(raster.image().pixel(0, 0), black);
            QCOMPARE(raster.image().pixel(size.width() - 1, size.height() - 1), black);
            QCOMPARE(count_pixels(raster.image(), black), 2 * pen * pen);
        }
    }
}

void PictureBoxTest::positions_round_to_the_nearest_pixel() {
    // Eleven columns over 0 .. 10: one user unit per pixel.
    PictureRaster raster(QSize(11, 11), white, black);
    raster.scale(0.0, 0.0, 10.0, 10.0);
    struct Case {
        double x;
        int column;
    };
    const Case cases[] = {{0.49, 0}, {0.5, 1}, {0.51, 1}, {4.4999, 4}, {9.5, 10}, {-0.4, 0}, {-0.6, -1}, {10.6, 11}};
    for (const Case& c : cases) QCOMPARE(raster.pixel(c.x, 3.0), QPoint(c.column, 3));
}

void PictureBoxTest::merged_columns_draw_the_same_pixels_as_every_segment_data() {
    QTest::addColumn<int>("seed");
    QTest::addColumn<int>("points");
    QTest::addColumn<int>("polylines");
    QTest::addColumn<bool>("forwards");  // x only grows, as in a trace
    QTest::addColumn<double>("spread");  // how far points stray outside the picture
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("pen");
    const QSize doubled = window_picture * 2;
    QTest::newRow("dense forward trace") << 1 << 20000 << 1 << true << 0.0 << window_picture << 1;
    QTest::newRow("sparse forward trace") << 2 << 300 << 1 << true << 0.0 << window_picture << 1;
    QTest::newRow("points going back and forth") << 3 << 5000 << 1 << false << 0.0 << window_picture << 1;
    QTest::newRow("several polylines") << 4 << 2000 << 7 << false << 0.0 << window_picture << 1;
    QTest::newRow("points far outside") << 5 << 3000 << 2 << false << 3.0 << window_picture << 1;
    QTest::newRow("small picture") << 6 << 4000 << 3 << true << 0.5 << QSize(5, 4) << 1;
    QTest::newRow("single column") << 7 << 1000 << 1 << false << 0.0 << QSize(1, 50) << 1;
    QTest::newRow("single row") << 8 << 1000 << 1 << false << 0.0 << QSize(50, 1) << 1;
    QTest::newRow("dense forward trace, pen 2") << 1 << 20000 << 1 << true << 0.0 << doubled << 2;
    QTest::newRow("back and forth, pen 2") << 3 << 5000 << 1 << false << 0.0 << doubled << 2;
    QTest::newRow("far outside, pen 2") << 5 << 3000 << 2 << false << 3.0 << doubled << 2;
    QTest::newRow("small picture, pen 2") << 6 << 4000 << 3 << true << 0.5 << QSize(10, 8) << 2;
    QTest::newRow("single column, pen 3") << 7 << 1000 << 1 << false << 0.0 << QSize(3, 150) << 3;
}

void PictureBoxTest::merged_columns_draw_the_same_pixels_as_every_segment() {
    QFETCH(int, seed);
    QFETCH(int, points);
    QFETCH(int, polylines);
    QFETCH(bool, forwards);
    QFETCH(double, spread);
    QFETCH(QSize, size);
    QFETCH(int, pen);
    std::mt19937 generator(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    Drawing drawing{0.0, 2.0, 100.0, -1.0, {}};
    for (int p = 0; p < polylines; ++p) {
        std::vector<QPointF> line;
        double x = unit(generator) * 10.0;
        for (int i = 0; i < points; ++i) {
            x = forwards ? x + unit(generator) * 200.0 / points : unit(generator) * 100.0;
            // Mostly small steps with now and then a jump, like a noisy peak.
            const double y = unit(generator) < 0.02 ? unit(generator) * 3.0 - 1.0 : 0.5 + 0.1 * (unit(generator) - 0.5);
            line.emplace_back(x * (1.0 + spread * (unit(generator) - 0.5)), y * (1.0 + spread * (unit(generator) - 0.5)));
        }
        drawing.polylines.push_back(std::move(line));
    }
    const QImage merged = draw(drawing, size, DrawMode::merged_columns, pen);
    const QImage reference = draw(drawing, size, DrawMode::per_segment, pen);
    QVERIFY(count_pixels(reference, black) > 0);
    QCOMPARE(merged, reference);
}

void PictureBoxTest::noisy_million_point_traces_match_the_reference_data() {
    QTest::addColumn<int>("seed");
    QTest::addColumn<double>("noise");
    QTest::addColumn<double>("baseline_slope");
    QTest::newRow("small noise") << 11 << 0.01 << 0.0;
    QTest::newRow("noise as tall as the peaks") << 12 << 1.0 << 0.0;
    QTest::newRow("falling baseline below zero") << 13 << 0.05 << -2.0;
}

void PictureBoxTest::noisy_million_point_traces_match_the_reference() {
    QFETCH(int, seed);
    QFETCH(double, noise);
    QFETCH(double, baseline_slope);
    const int n = Trace::capacity;
    std::mt19937 generator(seed);
    std::uniform_real_distribution<double> unit(-0.5, 0.5);
    std::vector<double> responses(n);
    for (int i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / n;
        responses[i] = std::exp(-0.5 * std::pow((t - 0.3) / 0.01, 2)) + 0.4 * std::exp(-0.5 * std::pow((t - 0.7) / 0.002, 2)) +
                       baseline_slope * t + noise * unit(generator);
    }
    for (int pen : {1, 2}) {
        const QSize size = window_picture * pen;
        const QImage merged = plot_trace(responses, 0.001, DrawMode::merged_columns, pen, size);
        const QImage reference = plot_trace(responses, 0.001, DrawMode::per_segment, pen, size);
        QVERIFY(count_pixels(reference, black) > size.width() * pen);
        QCOMPARE(merged, reference);
    }
}

void PictureBoxTest::single_peak_top_and_baseline_lie_one_eleventh_from_the_edges() {
    // The factory inputs: one Gaussian peak at 60 s in a 90 s run.
    elutrix::ComponentTable rows = elutrix::factory_table();
    elutrix::SimulationSettings settings;
    static Trace trace;
    for (DrawMode mode : {DrawMode::merged_columns, DrawMode::per_segment}) {
        PictureRaster raster(window_picture, white, black, mode);
        QVERIFY(elutrix::chromatogram(rows, settings, trace, &raster).ok);
        const QImage& image = raster.image();
        const int last_row = image.height() - 1;
        const int last_column = image.width() - 1;
        int top = -1;
        int top_column = -1;
        for (int r = 0; r <= last_row && top < 0; ++r) {
            for (int c = 0; c <= last_column; ++c) {
                if (image.pixel(c, r) == black) {
                    top = r;
                    top_column = c;
                    break;
                }
            }
        }
        QCOMPARE(top, qRound(last_row / 11.0));
        QCOMPARE(top_column, qRound(last_column * 60.0 / 90.0));
        // The flat part: the first column (one grid step from time 0) and
        // the last one, each a single pixel.
        const int flat = qRound(last_row * 10.0 / 11.0);
        for (int c : {0, last_column / 4, last_column}) {
            for (int r = 0; r <= last_row; ++r) QCOMPARE(image.pixel(c, r) == black, r == flat);
        }
        QCOMPARE(raster.pixel(trace.times[1], 0.0).x(), 0);
    }
}

void PictureBoxTest::lines_are_one_pixel_and_connected() {
    struct Case {
        QPoint from, to;
        int pixels;  // a Bresenham line covers max(|dx|, |dy|) + 1 pixels
    };
    const Case cases[] = {
        {{0, 0}, {9, 0}, 10}, {{0, 0}, {0, 9}, 10}, {{0, 0}, {9, 9}, 10}, {{9, 2}, {0, 5}, 10},
        {{3, 9}, {4, 0}, 10}, {{5, 5}, {5, 5}, 1},  {{0, 9}, {9, 6}, 10},
    };
    for (DrawMode mode : {DrawMode::merged_columns, DrawMode::per_segment}) {
        for (const Case& c : cases) {
            PictureRaster raster(QSize(10, 10), white, black, mode);
            raster.scale(0.0, 0.0, 9.0, 9.0);
            raster.pset(c.from.x(), c.from.y());
            raster.line(c.to.x(), c.to.y());
            const QImage& image = raster.image();
            QCOMPARE(count_pixels(image, black), c.pixels);
            QCOMPARE(image.pixel(c.from), black);
            QCOMPARE(image.pixel(c.to), black);
            // Every column (or row, for steep lines) between the ends holds
            // exactly one pixel.
            const bool steep = std::abs(c.to.y() - c.from.y()) > std::abs(c.to.x() - c.from.x());
            const int a = steep ? std::min(c.from.y(), c.to.y()) : std::min(c.from.x(), c.to.x());
            const int b = steep ? std::max(c.from.y(), c.to.y()) : std::max(c.from.x(), c.to.x());
            for (int k = a; k <= b; ++k) {
                int in_line = 0;
                for (int j = 0; j < 10; ++j) in_line += image.pixel(steep ? j : k, steep ? k : j) == black;
                QCOMPARE(in_line, 1);
            }
        }
    }
}

void PictureBoxTest::points_outside_the_picture_are_dropped() {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (DrawMode mode : {DrawMode::merged_columns, DrawMode::per_segment}) {
        PictureRaster raster(QSize(10, 10), white, black, mode);
        raster.scale(0.0, 0.0, 9.0, 9.0);
        // A line through the picture from far outside on both sides.
        raster.pset(-1000.0, 4.0);
        raster.line(1000.0, 4.0);
        QCOMPARE(count_pixels(raster.image(), black), 10);
        for (int c = 0; c < 10; ++c) QCOMPARE(raster.image().pixel(c, 4), black);
        // Values without a pixel leave the picture alone and do not crash.
        raster.cls();
        raster.pset(1e300, -1e300);
        raster.line(inf, -inf);
        raster.line(nan, nan);
        raster.line(-1e300, 1e300);
        QCOMPARE(count_pixels(raster.image(), black), 0);
    }
}

void PictureBoxTest::cls_clears_to_the_background() {
    PictureRaster raster(QSize(20, 10), white, black);
    raster.scale(0.0, 0.0, 1.0, 1.0);
    raster.pset(0.0, 0.0);
    raster.line(1.0, 1.0);
    QVERIFY(count_pixels(raster.image(), black) > 0);
    raster.cls();
    QCOMPARE(count_pixels(raster.image(), white), 200);
    // The scale survives cls; the current position goes back to (0, 0).
    raster.line(1.0, 0.0);
    QCOMPARE(count_pixels(raster.image(), black), 20);
    for (int c = 0; c < 20; ++c) QCOMPARE(raster.image().pixel(c, 0), black);
}

void PictureBoxTest::copies_of_the_picture_keep_what_they_showed() {
    PictureRaster raster(QSize(10, 10), white, black);
    raster.scale(0.0, 0.0, 9.0, 9.0);
    raster.pset(0.0, 0.0);
    const QImage before = raster.image();
    raster.line(9.0, 9.0);
    raster.pset(9.0, 0.0);
    QCOMPARE(count_pixels(before, black), 1);
    QCOMPARE(count_pixels(raster.image(), black), 11);
}

void PictureBoxTest::the_box_paints_its_retained_picture() {
    // The suite also runs at QT_SCALE_FACTOR=2: the picture then holds the
    // screen's pixels, twice as many each way.
    PictureBox box(QSize(700, 250));
    const double ratio = box.devicePixelRatioF();
    QCOMPARE(ratio, qEnvironmentVariableIsSet("QT_SCALE_FACTOR") ? qEnvironmentVariable("QT_SCALE_FACTOR").toDouble() : 1.0);
    const QSize device = window_picture * ratio;
    QCOMPARE(box.size(), QSize(700, 250));
    QCOMPARE(box.image().size(), device);
    QCOMPARE(box.image().devicePixelRatio(), ratio);
    QCOMPARE(count_pixels(box.image(), white), device.width() * device.height());
    box.scale(0.0, 0.0, 1.0, 1.0);
    box.pset(0.0, 1.0);
    box.line(1.0, 0.0);
    box.finish();
    const QImage drawn = box.image();
    QVERIFY(count_pixels(drawn, black) >= device.width());
    const QRect inside(box.contentsRect().topLeft() * ratio, device);
    QCOMPARE(box.contentsRect().size(), window_picture);
    // Painting again, as after being covered or minimised, shows the same
    // picture without drawing it anew.
    for (int paint = 0; paint < 2; ++paint) {
        QImage shown = box.grab().toImage().convertToFormat(QImage::Format_RGB32).copy(inside);
        shown.setDevicePixelRatio(ratio);
        QCOMPARE(shown, drawn);
        box.hide();
        box.show();
    }
    box.cls();
    QCOMPARE(count_pixels(box.image(), white), device.width() * device.height());
}

QTEST_MAIN(PictureBoxTest)
#include "tst_picture_box.moc"
