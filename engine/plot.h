#pragma once

#include "engine/synthesis.h"

namespace elutrix {

// A picture the chromatogram is drawn on, in the picture box's own colour
// and line width.
class PlotSurface {
public:
    virtual ~PlotSurface() = default;
    // Clears the picture to its background.
    virtual void cls() = 0;
    // User coordinates: (x1, y1) is the top-left corner, (x2, y2) the bottom-right.
    virtual void scale(double x1, double y1, double x2, double y2) = 0;
    // Sets one point and makes it the current position.
    virtual void pset(double x, double y) = 0;
    // Draws a line from the current position to (x, y), which becomes current.
    virtual void line(double x, double y) = 0;
    // Called once the last line of a drawing is issued.
    virtual void finish() {}
};

// Copies the run's points into the export table and draws them as one line:
// left edge time 0, right edge the last point's time, top edge r_min, bottom
// edge 1.1 r_max, each response plotted at (r_max + r_min) - 0.9 response so
// that larger responses stand higher. A run without points clears the
// picture; a trace that is 0 everywhere is drawn as a flat line at the height
// a zero response has under a peak. surface may be null (no window).
// Throws RunError, before anything is changed, when the responses are too
// large for the picture's scale to be a finite number.
void plot(Trace& trace, const SynthesisResult& synthesis, PlotSurface* surface);

}  // namespace elutrix
