#include "ui/picture_box.h"

#include <QPainter>
#include <QPalette>
#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace elutrix::ui {

namespace {

// Pixel positions are held within +-2^20 so that far-off or non-finite
// user coordinates never overflow the integer arithmetic of the rasterizer.
constexpr double pixel_bound = 1048576.0;

int nearest_pixel(double v) {
    if (!(v >= -pixel_bound)) return -static_cast<int>(pixel_bound);  // also NaN
    if (v > pixel_bound) return static_cast<int>(pixel_bound);
    return static_cast<int>(std::floor(v + 0.5));
}

// Pixels per user unit for a span of `user` units over `pixels` pixels, so
// that a pen of `pen` pixels at the span's ends touches its first and last
// pixel.
double pixel_factor(double user, int pixels, int pen) {
    if (user == 0.0 || pixels - pen < 1) return 0.0;
    return static_cast<double>(pixels - pen) / user;
}

constexpr int frame_width = 2;

// The pen of a screen: as wide as one pixel of an ordinary screen.
int pen_for(double ratio) { return std::max(1, static_cast<int>(std::lround(ratio))); }

QSize device_size(QSize size, double ratio) {
    return {static_cast<int>(std::lround(size.width() * ratio)), static_cast<int>(std::lround(size.height() * ratio))};
}

}  // namespace

PictureRaster::PictureRaster(QSize size, QRgb background, QRgb foreground, DrawMode mode, int pen)
    : background_(background), foreground_(foreground), mode_(mode), pen_(pen) {
    reset(size, pen);
}

void PictureRaster::reset(QSize size, int pen, double device_pixel_ratio) {
    image_ = QImage(size, QImage::Format_RGB32);
    image_.setDevicePixelRatio(device_pixel_ratio);
    pen_ = std::max(1, pen);
    scale(0.0, 0.0, size.width() - pen_, size.height() - pen_);
    cls();
}

void PictureRaster::set_mode(DrawMode mode) {
    mode_ = mode;
    run_open_ = false;
}

int PictureRaster::column(double x) const { return nearest_pixel((x - x1_) * x_factor_); }
int PictureRaster::row(double y) const { return nearest_pixel((y - y1_) * y_factor_); }

QRgb* PictureRaster::pixels() {
    // bits() detaches the image from any copy handed out earlier, so the
    // copy keeps the picture it was taken from.
    return reinterpret_cast<QRgb*>(image_.bits());
}

void PictureRaster::cls() {
    image_.fill(background_);
    current_x_ = 0.0;
    current_y_ = 0.0;
    current_c_ = column(0.0);
    current_r_ = row(0.0);
    run_open_ = false;
}

void PictureRaster::scale(double x1, double y1, double x2, double y2) {
    x1_ = x1;
    y1_ = y1;
    x_factor_ = pixel_factor(x2 - x1, image_.width(), pen_);
    y_factor_ = pixel_factor(y2 - y1, image_.height(), pen_);
    current_c_ = column(current_x_);
    current_r_ = row(current_y_);
    run_open_ = false;
}

void PictureRaster::pset(double x, double y) {
    current_x_ = x;
    current_y_ = y;
    current_c_ = column(x);
    current_r_ = row(y);
    vertical_span(current_c_, current_r_, current_r_);
    run_open_ = true;
    span_top_ = current_r_;
    span_bottom_ = current_r_;
}

void PictureRaster::line(double x, double y) {
    const int c = column(x);
    const int r = row(y);
    if (mode_ == DrawMode::merged_columns && run_open_ && c == current_c_) {
        // Still in the same column: the segments of the run cover every row
        // between its lowest and highest point; draw only what is new.
        if (r < span_top_) {
            vertical_span(c, r, span_top_ - 1);
            span_top_ = r;
        } else if (r > span_bottom_) {
            vertical_span(c, span_bottom_ + 1, r);
            span_bottom_ = r;
        }
    } else {
        segment(current_c_, current_r_, c, r);
        // The segment may have drawn more of the new column than its end
        // pixel; remembering only the end is safe, it merely redraws.
        run_open_ = true;
        span_top_ = r;
        span_bottom_ = r;
    }
    current_x_ = x;
    current_y_ = y;
    current_c_ = c;
    current_r_ = r;
}

void PictureRaster::vertical_span(int c, int top, int bottom) {
    // The pen covers columns c .. c + pen - 1 and rows top .. bottom + pen - 1.
    const int width = image_.width();
    const int height = image_.height();
    int left = c;
    int right = c + pen_ - 1;
    bottom += pen_ - 1;
    if (right < 0 || left >= width || bottom < 0 || top >= height) return;
    if (left < 0) left = 0;
    if (right >= width) right = width - 1;
    if (top < 0) top = 0;
    if (bottom >= height) bottom = height - 1;
    const qsizetype stride = image_.bytesPerLine() / static_cast<qsizetype>(sizeof(QRgb));
    QRgb* p = pixels() + top * stride;
    for (int r = top; r <= bottom; ++r, p += stride) {
        for (int k = left; k <= right; ++k) p[k] = foreground_;
    }
}

void PictureRaster::segment(int c0, int r0, int c1, int r1) {
    const int width = image_.width();
    const int height = image_.height();
    const qsizetype stride = image_.bytesPerLine() / static_cast<qsizetype>(sizeof(QRgb));
    QRgb* const bits = pixels();
    const int dc = std::abs(c1 - c0);
    const int dr = -std::abs(r1 - r0);
    const int step_c = c0 < c1 ? 1 : -1;
    const int step_r = r0 < r1 ? 1 : -1;
    int error = dc + dr;
    for (;;) {
        if (pen_ > 1) {
            vertical_span(c0, r0, r0);
        } else if (c0 >= 0 && c0 < width && r0 >= 0 && r0 < height) {
            bits[r0 * stride + c0] = foreground_;
        }
        if (c0 == c1 && r0 == r1) break;
        const int twice = 2 * error;
        if (twice >= dr) {
            error += dr;
            c0 += step_c;
        }
        if (twice <= dc) {
            error += dc;
            r0 += step_r;
        }
    }
}

PictureBox::PictureBox(QSize size, QWidget* parent)
    : QFrame(parent),
      picture_size_(size.shrunkBy({frame_width, frame_width, frame_width, frame_width})),
      raster_(picture_size_, palette().color(QPalette::Base).rgb(), qRgb(0, 0, 0)) {
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setLineWidth(frame_width);
    setFixedSize(size);
    setAttribute(Qt::WA_OpaquePaintEvent);
    follow_screen();
}

void PictureBox::follow_screen() {
    const double ratio = devicePixelRatioF();
    if (raster_.image().devicePixelRatio() == ratio) return;
    raster_.reset(device_size(picture_size_, ratio), pen_for(ratio), ratio);
}

void PictureBox::cls() {
    follow_screen();
    raster_.cls();
    update();
}

void PictureBox::scale(double x1, double y1, double x2, double y2) { raster_.scale(x1, y1, x2, y2); }
void PictureBox::pset(double x, double y) { raster_.pset(x, y); }
void PictureBox::line(double x, double y) { raster_.line(x, y); }
void PictureBox::finish() { update(); }

void PictureBox::paintEvent(QPaintEvent* event) {
    QFrame::paintEvent(event);
    QPainter painter(this);
    painter.drawImage(contentsRect().topLeft(), raster_.image());
}

}  // namespace elutrix::ui
