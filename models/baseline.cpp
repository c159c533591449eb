#include "models/baseline.h"

namespace elutrix {

double baseline(double x, double ymax, double maxtime, const BaselineSettings& settings) {
    const double p = settings.percentage;
    switch (settings.shape) {
    case BaselineShape::flat:
        return 0.0;
    case BaselineShape::linear:
        if (settings.linear_down) return (ymax * ((-x * p) / 100.0)) / maxtime;
        return (ymax * ((x * p) / 100.0)) / maxtime;
    case BaselineShape::quad:
        if (settings.quad_down) return (ymax * ((p * (x * (-x))) / 100.0)) / (maxtime * maxtime);
        return (ymax * ((p * (x * x)) / 100.0)) / (maxtime * maxtime);
    }
    return 0.0;
}

}  // namespace elutrix
