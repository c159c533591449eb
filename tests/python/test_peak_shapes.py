"""The field's tailing shapes and the ground truth of every model, against
mpmath at 40 digits; the window model's clipping, against its analytic area."""

import math
import warnings

import mpmath as mp
import numpy as np
import pytest

import elutrix

mp.mp.dps = 40


def mp_exact_emg(x, peak, sigma, tau):
    x, peak, s, tau = (mp.mpf(v) for v in (x, peak, abs(sigma), tau))
    if tau < 0:
        x, tau = 2 * peak - x, -tau
    if tau == 0:
        return mp.npdf(x, peak, s)
    d = x - peak
    return mp.exp(s**2 / (2 * tau**2) - d / tau) * mp.erfc((s / tau - d / s) / mp.sqrt(2)) / (2 * tau)


def mp_hybrid(x, peak, sigma, tau):
    x, peak, s, tau = (mp.mpf(v) for v in (x, peak, abs(sigma), tau))
    k = abs(tau) / s
    area = s * mp.sqrt(2 * mp.pi) if k == 0 else s * (4 / k) * mp.exp(4 / k**2) * mp.besselk(1, 4 / k**2)
    d = x - peak
    den = 2 * s**2 + tau * d
    return mp.exp(-d**2 / den) / area if den > 0 else mp.mpf(0)


# The window's model with its stored constants, evaluated exactly.
C1 = 1.0 / 1.41421356237309


def mp_window_emg(x, peak, sigma, tau):
    x, peak, s, tau = (mp.mpf(v) for v in (x, peak, sigma, tau))
    c1, e = mp.mpf(C1), mp.mpf(2.71828182845905)
    if tau < 0:
        x, tau = 2 * peak - x, -tau
    z = c1 * ((x - peak) / s - s / tau)
    E = s * s / (tau * (tau * 2)) - (x - peak) / tau
    w = c1 * (peak / s + s / tau)
    return (mp.erf(w) + mp.erf(z)) * mp.power(e, E) / (mp.mpf(1.772453851) * tau)


MP_SHAPES = {"ExactExponentiallyModifiedGaussian": mp_exact_emg, "ExponentialGaussianHybrid": mp_hybrid}


@pytest.mark.parametrize("model", sorted(MP_SHAPES))
@pytest.mark.parametrize("ratio", [0.01, 1, 4, 10, 100, 1000])
@pytest.mark.parametrize("sign", [1, -1])
def test_shape_against_mpmath(model, ratio, sign):
    sigma, peak = 3.0, 600.0
    tau = sign * sigma / ratio
    reach = 40 * sigma + 800 * abs(tau)
    d = np.concatenate([np.linspace(-reach, reach, 161), np.linspace(-12 * sigma, 12 * sigma, 97)])
    x = peak + d
    ours = elutrix.peak_shape(model, x, peak, sigma, tau)
    exact = [MP_SHAPES[model](v, peak, sigma, tau) for v in x]
    top = max(exact)
    checked = 0
    tolerance = 1e-13 if model.startswith("Exact") else 1e-12
    for v, e, xv in zip(ours, exact, x):
        if e > top * mp.mpf(1e-300):
            assert abs(v - e) <= tolerance * e, (xv, v, e)
            checked += 1
        else:
            assert v <= 1e-290 * float(top)
    assert checked >= 40
    # Unit area (the hybrid's through its Bessel function, the EMG by construction).
    if ratio == 1:
        area = mp.quad(lambda t: MP_SHAPES[model](t, peak, sigma, tau), [peak - reach, peak, peak + reach])
        assert abs(area - 1) < 1e-12


def mp_apex_and_widths(f, peak, sigma, guess):
    """Apex where the derivative vanishes, and the crossings at 50, 10, 5 %."""
    apex = mp.findroot(lambda t: mp.diff(f, t), mp.mpf(guess), tol=mp.mpf(10) ** -35)
    top = f(apex)
    widths = []
    for frac in (0.5, 0.1, 0.05):
        target = frac * top
        lead_t, trail_t = apex - sigma, apex + sigma
        while f(lead_t) > target:
            lead_t -= sigma
        while f(trail_t) > target:
            trail_t += sigma
        lead = mp.findroot(lambda t: f(t) - target, (lead_t, apex), solver="anderson")
        trail = mp.findroot(lambda t: f(t) - target, (apex, trail_t), solver="anderson")
        widths.append((apex - lead, trail - apex))
    return apex, top, widths


TRUTH_CASES = [
    ("Gaussian", 1.0),
    ("ExponentiallyModifiedGaussian", 1.0),
    ("ExponentiallyModifiedGaussian", -2.0),
    ("ExactExponentiallyModifiedGaussian", 1.0),
    ("ExactExponentiallyModifiedGaussian", -3.0),
    ("ExponentialGaussianHybrid", 0.8),
    ("ExponentialGaussianHybrid", -1.5),
]


@pytest.mark.parametrize("model,tau", TRUTH_CASES)
def test_ground_truth_against_mpmath(model, tau):
    run = elutrix.simulate({"seed": 1, "rows": [{"enabled": True, "retention_time": 2, "relative_response": 3,
                                                 "tau": tau}], "settings": {"peak_model": model}})
    p = run.peaks[0]
    sigma, peak = p["sigma_s"], 2.0 * 60.0
    a = mp.mpf(3)
    if model == "Gaussian":
        # The window's Gaussian, with its stored e and sqrt(2 pi).
        f = lambda t: (a * mp.power(mp.mpf(2.71828182845905), -((t - peak) ** 2) / (2 * mp.mpf(sigma) ** 2))
                       / (mp.mpf(sigma) * mp.mpf(2.506628275)))
    elif model == "ExponentiallyModifiedGaussian":
        f = lambda t: a * mp_window_emg(t, peak, sigma, tau)
    else:
        f = lambda t: a * MP_SHAPES[model](t, peak, sigma, tau)
    apex, top, widths = mp_apex_and_widths(f, peak, sigma, p["apex_time_min"] * 60)
    assert not p["clipped"]

    def close(ours, exact):
        assert abs(ours - exact) <= 1e-12 * abs(exact), (ours, exact)

    close(p["apex_time_min"], apex / 60)
    close(p["apex_height"], top)
    for (lead, trail), pct in zip(widths, ("50", "10", "5")):
        close(p[f"lead_{pct}_min"], lead / 60)
        close(p[f"trail_{pct}_min"], trail / 60)
        close(p[f"width_{pct}_min"], (lead + trail) / 60)
    (l50, t50), (l10, t10), (l5, t5) = widths
    close(p["tailing_usp"], (l5 + t5) / (2 * l5))
    close(p["asymmetry_10"], t10 / l10)
    close(p["plates_half_height"], 5.54 * (apex / (l50 + t50)) ** 2)


LC = {"peak_model": "ExponentiallyModifiedGaussian"}
# The window model's clipped peaks under the LC preset at 20 points/s.
CLIPPED = [(8, 0.5), (1, 0.06), (1, 0.01), (6, -0.5)]


@pytest.mark.parametrize("time,tau", CLIPPED)
def test_clipping_is_reported_and_the_exact_shape_is_whole(time, tau):
    rows = [{"enabled": True, "retention_time": time, "relative_response": 1, "tau": tau}]
    with pytest.warns(elutrix.ClippingWarning) as caught:
        run = elutrix.simulate({"rows": rows, "settings": LC}, components=True)
    assert len(caught) == 1
    text = str(caught[0].message)
    assert "row 1" in text and "ExactExponentiallyModifiedGaussian" in text
    p = run.peaks[0]
    assert p["clipped"]
    data_area = np.trapz(run.components[1], run.time_min)
    assert p["area_trapezoid"] == pytest.approx(data_area, rel=1e-12, abs=1e-300)
    assert p["clipped_area_fraction"] == pytest.approx(1 - data_area / p["area_model"], abs=1e-6)

    with warnings.catch_warnings():
        warnings.simplefilter("error")
        twin = elutrix.simulate({"rows": rows, "settings": {"peak_model": "ExactExponentiallyModifiedGaussian"}})
    t = twin.peaks[0]
    assert not t["clipped"] and t["clipped_area_fraction"] == 0
    assert t["area_model"] == pytest.approx(1 / 60, rel=1e-15)
    assert t["area_trapezoid"] == pytest.approx(1 / 60, rel=1e-9)


def test_unclipped_window_peaks_do_not_warn():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        run = elutrix.simulate({"rows": [{"enabled": True, "retention_time": 1, "tau": 1}], "settings": LC})
    assert not run.peaks[0]["clipped"]


def test_unknown_model_names_the_models():
    with pytest.raises(elutrix.ScenarioError, match="ExponentialGaussianHybrid"):
        elutrix.simulate({"settings": {"peak_model": "EMG"}})
