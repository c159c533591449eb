#include "engine/components.h"

namespace elutrix {

namespace {

// model is one of term_model's results.
fast::Term make_term(double a, const PlacedPeak& p, PeakModel model, const fast::Grid& grid) {
    switch (model) {
    case PeakModel::Gaussian:
        return fast::GaussianTerm(a, p.peak, p.sigma, grid);
    case PeakModel::ExactExponentiallyModifiedGaussian:
        return fast::ShapeTerm(fast::Shape::exact_emg, a, p.peak, p.sigma, p.tau, grid);
    case PeakModel::ExponentialGaussianHybrid:
        return fast::ShapeTerm(fast::Shape::hybrid, a, p.peak, p.sigma, p.tau, grid);
    default:
        return fast::EmgTerm(a, p.peak, p.sigma, p.tau, grid);
    }
}

}  // namespace

PeakModel term_model(PeakModel chosen, double tau) {
    switch (chosen) {
    case PeakModel::Gaussian:
    case PeakModel::ExactExponentiallyModifiedGaussian:
    case PeakModel::ExponentialGaussianHybrid:
        return chosen;
    default:
        // The window's rule: every model other than the Gaussian is the
        // exponentially modified one, which draws a row without tau as a
        // Gaussian.
        return tau == 0.0 ? PeakModel::Gaussian : PeakModel::ExponentiallyModifiedGaussian;
    }
}

ComponentTerm::ComponentTerm(double a, const PlacedPeak& p, PeakModel model, const fast::Grid& grid)
    : model_(model), term_(make_term(a, p, model, grid)) {}

double ComponentTerm::operator()(double x) const {
    return std::visit([x](const auto& term) { return term(x); }, term_);
}

fast::PointRange ComponentTerm::range() const {
    return std::visit([](const auto& term) { return term.range; }, term_);
}

void ComponentTerm::add_to(fast::TermSum& sum) const { sum.add(term_); }

fast::Grid run_grid(const PeakPlacement& placement, std::int32_t point_count) {
    if (point_count < 1) return {1, 1.0};
    return {point_count, (90.0 * placement.latest_tr) / static_cast<double>(point_count)};
}

std::vector<RowTerm> run_terms(const ComponentTable& rows, const SimulationSettings& settings,
                               const PeakPlacement& placement, const fast::Grid& grid) {
    std::vector<RowTerm> terms;
    for (int j = 0; j < component_count; ++j) {
        const PlacedPeak& p = placement.peaks[j];
        if (!rows[j].enabled || p.sigma == 0.0) continue;
        const double a = text_value(rows[j].relative_response);
        terms.push_back({j, a, ComponentTerm(a, p, term_model(settings.peak_model, p.tau), grid)});
    }
    return terms;
}

RunBaseline::RunBaseline(const ComponentTable& rows, const SimulationSettings& settings,
                         const PeakPlacement& placement)
    : ymax_(placement.ymax), settings_(read_baseline(settings)) {
    const double T = text_value(rows[placement.latest_row].retention_time);
    maxtime_ = 1.5 * ((T * 60.0) * text_value(settings.sampling_rate));
}

}  // namespace elutrix
