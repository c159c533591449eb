#include "generate/peak_columns.h"

#include <iterator>
#include <limits>

#include "generate/scenario.h"

namespace elutrix::generate {

namespace {

using Value = std::optional<double>;

Value when(bool present, double v) { return present ? Value(v) : std::nullopt; }

constexpr PeakColumnKind row = PeakColumnKind::row, text = PeakColumnKind::text, number = PeakColumnKind::number,
                         figure = PeakColumnKind::figure, flag = PeakColumnKind::flag;

const PeakColumn columns[] = {
    {"row", row, "1", "component row (1-based)"},
    {"model", text, "", "peak model of the component's term"},
    {"retention_time_min", number, "min", "retention time", [](const PeakTruth& p) { return Value(p.retention_time_min); }},
    {"relative_response", number, "1", "relative response", [](const PeakTruth& p) { return Value(p.relative_response); }},
    {"sigma_s", number, "s", "standard deviation of the Gaussian part", [](const PeakTruth& p) { return Value(p.sigma_s); }},
    {"tau", number, "s", "time constant of the exponential part", [](const PeakTruth& p) { return Value(p.tau); }},
    {"area_trapezoid", number, "min", "area by the trapezoid rule over the grid (response x min)",
     [](const PeakTruth& p) { return Value(p.area_trapezoid); }},
    {"area_model", number, "min", "analytic area of the model (response x min)",
     [](const PeakTruth& p) { return Value(p.area_model); }},
    {"apex_time_min", figure, "min", "apex time", [](const PeakTruth& p) { return when(p.has_apex, p.apex_time_min); }},
    {"apex_height", figure, "1", "apex height", [](const PeakTruth& p) { return when(p.has_apex, p.apex_height); }},
    {"width_50_min", figure, "min", "width at 50 % of the apex height",
     [](const PeakTruth& p) { return when(p.has_apex, p.widths[0].width()); }},
    {"lead_50_min", figure, "min", "leading half width at 50 %", [](const PeakTruth& p) { return when(p.has_apex, p.widths[0].lead); }},
    {"trail_50_min", figure, "min", "trailing half width at 50 %", [](const PeakTruth& p) { return when(p.has_apex, p.widths[0].trail); }},
    {"width_10_min", figure, "min", "width at 10 % of the apex height",
     [](const PeakTruth& p) { return when(p.has_apex, p.widths[1].width()); }},
    {"lead_10_min", figure, "min", "leading half width at 10 %", [](const PeakTruth& p) { return when(p.has_apex, p.widths[1].lead); }},
    {"trail_10_min", figure, "min", "trailing half width at 10 %", [](const PeakTruth& p) { return when(p.has_apex, p.widths[1].trail); }},
    {"width_5_min", figure, "min", "width at 5 % of the apex height",
     [](const PeakTruth& p) { return when(p.has_apex, p.widths[2].width()); }},
    {"lead_5_min", figure, "min", "leading half width at 5 %", [](const PeakTruth& p) { return when(p.has_apex, p.widths[2].lead); }},
    {"trail_5_min", figure, "min", "trailing half width at 5 %", [](const PeakTruth& p) { return when(p.has_apex, p.widths[2].trail); }},
    {"tailing_usp", figure, "1", "USP tailing factor at 5 %", [](const PeakTruth& p) { return when(p.has_apex, p.tailing); }},
    {"asymmetry_10", figure, "1", "asymmetry factor at 10 %", [](const PeakTruth& p) { return when(p.has_apex, p.asymmetry); }},
    {"plates_half_height", figure, "1", "plates from the half-height width", [](const PeakTruth& p) { return when(p.has_apex, p.plates); }},
    {"resolution_previous", figure, "1", "resolution to the previous peak", [](const PeakTruth& p) { return p.resolution; }},
    {"baseline_at_apex", figure, "1", "baseline at the apex", [](const PeakTruth& p) { return p.baseline_at_apex; }},
    {"clipped", flag, "", "part of the term rounded away", [](const PeakTruth& p) { return Value(p.clipped ? 1.0 : 0.0); }},
    {"clipped_area_fraction", number, "1", "fraction of the area rounded away",
     [](const PeakTruth& p) { return Value(p.clipped_area_fraction); }},
    {"pure_apex_time_min", figure, "min", "apex time before the detector's time constant",
     [](const PeakTruth& p) { return p.pure_apex_time_min; }, true},
    {"pure_apex_height", figure, "1", "apex height before the detector's time constant",
     [](const PeakTruth& p) { return p.pure_apex_height; }, true},
};

}  // namespace

std::span<const PeakColumn> peak_columns() { return columns; }

double peak_value(const PeakColumn& column, const PeakTruth& peak) {
    if (column.kind == PeakColumnKind::row) return peak.row + 1;
    if (!column.number) return std::numeric_limits<double>::quiet_NaN();
    return column.number(peak).value_or(std::numeric_limits<double>::quiet_NaN());
}

std::string_view peak_text(const PeakColumn& column, const PeakTruth& peak) {
    return column.kind == PeakColumnKind::text ? name_of(peak.model) : "";
}

}  // namespace elutrix::generate
