// Drawing a 1,000,000-point chromatogram into the window's picture: the
// column-merging rasterizer against drawing every segment on its own, and
// against QPainter for scale.
#include <benchmark/benchmark.h>

#include <QImage>
#include <QPainter>
#include <cmath>
#include <random>

#include "engine/plot.h"
#include "ui/picture_box.h"

namespace {

using elutrix::ui::DrawMode;
using elutrix::ui::PictureRaster;

const QSize picture_size(696, 246);  // inside the window's picture frame

// A noisy run of n points: two peaks, a rising baseline and random noise.
struct NoisyRun {
    elutrix::Trace trace;
    elutrix::SynthesisResult result;

    explicit NoisyRun(int n, double noise) {
        std::mt19937 generator(42);
        std::uniform_real_distribution<double> unit(-0.5, 0.5);
        result.point_count = n;
        for (int i = 1; i <= n; ++i) {
            const double t = static_cast<double>(i) / n;
            const double r = std::exp(-0.5 * std::pow((t - 0.3) / 0.01, 2)) +
                             0.3 * std::exp(-0.5 * std::pow((t - 0.7) / 0.004, 2)) + 0.1 * t + noise * unit(generator);
            trace.times[i] = i * 0.0009;
            trace.responses[i] = r;
            result.r_max = std::max(result.r_max, r);
            result.r_min = std::min(result.r_min, r);
        }
    }
};

NoisyRun& run(double noise) {
    static NoisyRun quiet(1000000, 0.0);
    static NoisyRun noisy(1000000, 0.05);
    return noise == 0.0 ? quiet : noisy;
}

// The plot step as Update runs it: export copy plus one line per point.
void plot_into_raster(benchmark::State& state, DrawMode mode) {
    NoisyRun& r = run(state.range(0) == 0 ? 0.0 : 0.05);
    PictureRaster raster(picture_size, qRgb(255, 255, 255), qRgb(0, 0, 0), mode);
    for (auto _ : state) {
        elutrix::plot(r.trace, r.result, &raster);
        benchmark::DoNotOptimize(raster.image().constBits());
    }
    state.SetItemsProcessed(state.iterations() * r.result.point_count);
}

void BM_PlotMergedColumns(benchmark::State& state) { plot_into_raster(state, DrawMode::merged_columns); }
void BM_PlotPerSegment(benchmark::State& state) { plot_into_raster(state, DrawMode::per_segment); }

// Only the drawing operations, without the export copy.
void draw_only(benchmark::State& state, DrawMode mode) {
    NoisyRun& r = run(0.05);
    const int n = r.result.point_count;
    const double offset = r.result.r_max + r.result.r_min;
    PictureRaster raster(picture_size, qRgb(255, 255, 255), qRgb(0, 0, 0), mode);
    for (auto _ : state) {
        raster.cls();
        raster.scale(0.0, r.result.r_min, r.trace.times[n], 1.1 * r.result.r_max);
        raster.pset(r.trace.times[1], offset - 0.9 * r.trace.responses[1]);
        for (int i = 1; i <= n; ++i) raster.line(r.trace.times[i], offset - 0.9 * r.trace.responses[i]);
        benchmark::DoNotOptimize(raster.image().constBits());
    }
    state.SetItemsProcessed(state.iterations() * n);
}

void BM_DrawMergedColumns(benchmark::State& state) { draw_only(state, DrawMode::merged_columns); }
void BM_DrawPerSegment(benchmark::State& state) { draw_only(state, DrawMode::per_segment); }

// For scale: QPainter drawing one aliased 1-pixel line per segment.
void BM_DrawQPainterLines(benchmark::State& state) {
    NoisyRun& r = run(0.05);
    const int n = r.result.point_count;
    const double offset = r.result.r_max + r.result.r_min;
    const double sx = (picture_size.width() - 1) / r.trace.times[n];
    const double sy = (picture_size.height() - 1) / (1.1 * r.result.r_max - r.result.r_min);
    QImage image(picture_size, QImage::Format_RGB32);
    for (auto _ : state) {
        image.fill(Qt::white);
        QPainter painter(&image);
        painter.setPen(QPen(Qt::black, 0));
        QPointF previous(r.trace.times[1] * sx, (offset - 0.9 * r.trace.responses[1] - r.result.r_min) * sy);
        for (int i = 1; i <= n; ++i) {
            const QPointF p(r.trace.times[i] * sx, (offset - 0.9 * r.trace.responses[i] - r.result.r_min) * sy);
            painter.drawLine(previous, p);
            previous = p;
        }
        painter.end();
        benchmark::DoNotOptimize(image.constBits());
    }
    state.SetItemsProcessed(state.iterations() * n);
}

}  // namespace

// Argument: 0 for a clean trace, 1 for a noisy one.
BENCHMARK(BM_PlotMergedColumns)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlotPerSegment)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DrawMergedColumns)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DrawPerSegment)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DrawQPainterLines)->Unit(benchmark::kMillisecond)->Iterations(3);
