// The plot area of the main window: a retained picture that the
// chromatogram is drawn into with the picture-box operations cls, scale,
// pset and line.
#pragma once

#include <QFrame>
#include <QImage>
#include <QPoint>
#include <QSize>

#include "engine/plot.h"

namespace elutrix::ui {

// How line() puts a segment into the picture.
enum class DrawMode {
    // Consecutive points that fall into one pixel column are merged into a
    // single vertical span from their lowest to their highest row; only the
    // segments that cross columns are rasterized. Gives exactly the pixels
    // of per_segment, far faster when many points share a column.
    merged_columns,
    // Every segment is rasterized on its own. The plain reference.
    per_segment,
};

// A picture in memory with the drawing operations of a picture box. Lines
// are drawn by integer Bresenham between pixel centres, without
// antialiasing, with a square pen of pen x pen pixels whose top-left pixel
// is the line's; pixels outside the picture are dropped. The user coordinate
// system spans the whole picture, so that a pen at x1 touches column 0 and
// one at x2 the last column, and likewise y1 the first row and y2 the last;
// positions are rounded to the nearest pixel. A high-density screen gets a
// picture of its own pixels and a pen as many pixels wide as one pixel of an
// ordinary screen.
class PictureRaster final : public PlotSurface {
public:
    PictureRaster(QSize size, QRgb background, QRgb foreground, DrawMode mode = DrawMode::merged_columns,
                  int pen = 1);

    void cls() override;
    void scale(double x1, double y1, double x2, double y2) override;
    void pset(double x, double y) override;
    void line(double x, double y) override;

    const QImage& image() const { return image_; }
    DrawMode mode() const { return mode_; }
    void set_mode(DrawMode mode);
    int pen() const { return pen_; }
    // A new, cleared picture of another size or pen, to be shown at the
    // given device pixel ratio; the scale spans it anew.
    void reset(QSize size, int pen, double device_pixel_ratio = 1.0);

    // The pixel (column, row) that the user point (x, y) falls on, the pen's
    // top-left pixel; it may lie outside the picture. Values too far out are
    // held at a large bound.
    QPoint pixel(double x, double y) const { return {column(x), row(y)}; }

private:
    int column(double x) const;
    int row(double y) const;
    QRgb* pixels();
    void vertical_span(int c, int top, int bottom);
    void segment(int c0, int r0, int c1, int r1);

    QImage image_;
    QRgb background_;
    QRgb foreground_;
    DrawMode mode_;
    int pen_;

    // User coordinates to pixels: column = (x - x1) * x_factor, rounded.
    double x1_ = 0.0;
    double y1_ = 0.0;
    double x_factor_ = 1.0;
    double y_factor_ = 1.0;

    // The current position, in user coordinates and as a pixel.
    double current_x_ = 0.0;
    double current_y_ = 0.0;
    int current_c_ = 0;
    int current_r_ = 0;

    // Merged mode: the rows already drawn in the current position's column
    // by the run of points that ended there. Only valid while run_open_.
    bool run_open_ = false;
    int span_top_ = 0;
    int span_bottom_ = 0;
};

// The window's picture box "Picture1": a sunken frame around a white picture
// drawn in black. The picture is kept in memory, so covering, uncovering or
// minimising the window shows it again without a new run. It holds as many
// pixels as the screen shows in its place (twice as many each way on a
// screen of device pixel ratio 2), so that the line stays sharp; every
// drawing starts at the ratio of the screen the box is on then.
class PictureBox : public QFrame, public PlotSurface {
    Q_OBJECT

public:
    // size is the outer size, frame included.
    explicit PictureBox(QSize size, QWidget* parent = nullptr);

    void cls() override;
    void scale(double x1, double y1, double x2, double y2) override;
    void pset(double x, double y) override;
    void line(double x, double y) override;
    void finish() override;

    // The picture inside the frame, as drawn so far, in device pixels; its
    // devicePixelRatio() is the screen's.
    const QImage& image() const { return raster_.image(); }
    void set_draw_mode(DrawMode mode) { raster_.set_mode(mode); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // Matches the picture to the screen's device pixel ratio.
    void follow_screen();

    QSize picture_size_;  // inside the frame, in the window's pixels
    PictureRaster raster_;
};

}  // namespace elutrix::ui
