"""score.html and its PNG plots: recall and every error against each suite's
ladder, and the worst runs drawn with their true and found peaks. Needs
matplotlib (Debian's python3-matplotlib), imported only here."""

import html
from pathlib import Path

import numpy as np

ERRORS = (("retention_time_error_min", "retention time error (min)"),
          ("area_error_rel", "area error (relative)"),
          ("height_error_rel", "height error (relative)"),
          ("width_50_error_rel", "width at half height error (relative)"))

SHORT = {"retention_time_error_min": "rt error (min)", "area_error_rel": "area error",
         "height_error_rel": "height error", "width_50_error_rel": "width error"}

# What each suite's level means.
LADDERS = {"resolution": "resolution R", "noise": "S/N (smallest peak height / noise width)",
           "tailing": "tau / sigma", "baseline": "baseline or wander sd (% of the tallest peak)",
           "realistic": "S/N (smallest peak / detector noise sd)"}


def _trace(path):
    """Time (min) and response of a .xy or .csv data file; None for others."""
    path = Path(path)
    if path.suffix == ".xy":
        return np.loadtxt(path, delimiter=",", unpack=True)
    if path.suffix == ".csv":
        return np.loadtxt(path, delimiter=",", skiprows=1, unpack=True)
    return None


def _ladder_plots(figures, suite, plt):
    """One PNG for the suite: recall and each error summary against the level,
    a line per series."""
    levels = [x for x in figures["by_level"] if x["suite"] == suite]
    panels = [("recall", "recall")] + [(k, t) for k, t in ERRORS if k in figures]
    columns = min(3, len(panels))
    lines = -(-len(panels) // columns)
    fig, axes = plt.subplots(lines, columns, figsize=(4.4 * columns, 3.2 * lines), squeeze=False)
    for ax in axes.flat[len(panels):]:
        ax.set_visible(False)
    for ax, (key, title) in zip(axes.flat, panels):
        for series in dict.fromkeys(x["series"] for x in levels):
            rows = sorted((x for x in levels if x["series"] == series), key=lambda x: x["level"])
            xs = [x["level"] for x in rows]
            if key == "recall":
                ax.plot(xs, [x["recall"] if x["recall"] is not None else np.nan for x in rows], "o-", label=series)
                ax.set_ylim(-0.05, 1.05)
            else:
                mean = np.array([x[key]["mean"] if x.get(key) else np.nan for x in rows])
                sd = np.array([x[key]["sd"] if x.get(key) else np.nan for x in rows])
                ax.errorbar(xs, mean, yerr=sd, fmt="o-", capsize=3, label=series)
                ax.axhline(0, color="0.6", lw=0.8)
        ax.set_title(title, fontsize=10)
        ax.set_xlabel(LADDERS.get(suite, "level"), fontsize=9)
        if suite in ("noise", "realistic", "baseline"):
            ax.set_xscale("log")
        ax.grid(alpha=0.3)
    axes[0][0].legend(fontsize=8, title="series", title_fontsize=8)
    fig.suptitle(f"{suite}: mean ± sd per level", fontsize=11)
    fig.tight_layout()
    return fig


def _run_plot(scoring, run, plt):
    fig, ax = plt.subplots(figsize=(11, 3.0))
    trace = _trace(run["data"])
    if trace is not None:
        ax.plot(trace[0], trace[1], color="0.3", lw=0.8, label="data")
    ax.plot([p["time"] for p in run["peaks"]], [p["height"] for p in run["peaks"]], "v", color="tab:green",
            ms=9, label="true apex")
    for i, p in enumerate(run["peaks"]):
        if i not in run["pairs"]:
            ax.axvline(p["time"], color="tab:green", ls=":", lw=1)
    found = run["found"]
    heights = [f.get("height") for f in found]
    ys = [h if h is not None else np.nan for h in heights]
    if trace is not None:
        ys = [y if np.isfinite(y) else np.interp(f["time"], trace[0], trace[1]) for y, f in zip(ys, found)]
    matched = set(run["pairs"].values())
    for j, (f, y) in enumerate(zip(found, ys)):
        ax.plot(f["time"], y, "x" if j in matched else "X", color="tab:blue" if j in matched else "tab:red", ms=9,
                label=None)
    ax.plot([], [], "x", color="tab:blue", label="found, matched")
    ax.plot([], [], "X", color="tab:red", label="found, false")
    ax.plot([], [], ":", color="tab:green", label="true, missed")
    # The part of the run that holds its peaks.
    times = [p["time"] for p in run["peaks"]] + [f["time"] for f in found]
    if times:
        margin = 4 * max([p["width"] for p in run["peaks"]] + [0.05])
        ax.set_xlim(min(times) - margin, max(times) + margin)
        if trace is not None:
            inside = (trace[0] >= min(times) - margin) & (trace[0] <= max(times) + margin)
            if inside.any():
                low, high = trace[1][inside].min(), trace[1][inside].max()
                ax.set_ylim(low - 0.05 * (high - low), high + 0.12 * (high - low))
    ax.set_xlabel("time (min)")
    missed = sum(i not in run["pairs"] for i in range(len(run["peaks"])))
    ax.set_title(f"{run['stem']}: {len(run['peaks'])} true peaks, {len(found)} found, {missed} missed, "
                 f"{len(found) - len(run['pairs'])} false", fontsize=10)
    ax.legend(fontsize=8, loc="upper right")
    fig.tight_layout()
    return fig


def _fmt(value, digits=4):
    if value is None:
        return "–"
    if isinstance(value, list):
        return ", ".join(_fmt(v) for v in value)
    if isinstance(value, dict):
        return ", ".join(f"{_fmt(k)} {_fmt(v)}" for k, v in value.items())
    if isinstance(value, float):
        return f"{value:.{digits}g}"
    return html.escape(str(value))


def _table(rows, present):
    keys = [k for k, _ in ERRORS if k in present]
    head = ["suite", "series", "level", "runs", "true peaks", "found", "matched", "recall", "precision",
            "false / run"] + [f"{SHORT[k]} mean (sd)" for k in keys]
    out = ["<table><tr>" + "".join(f"<th>{html.escape(h)}</th>" for h in head) + "</tr>"]
    for r in rows:
        cells = [r.get("suite"), r.get("series"), r.get("level"), r["runs"], r["true_peaks"], r["found_peaks"],
                 r["matched"], r["recall"], r["precision"], r["false_per_run"]]
        text = [_fmt(c) for c in cells]
        for k in keys:
            s = r.get(k)
            text.append("–" if not s else f"{s['mean']:+.3g} ({s['sd']:.3g})")
        out.append("<tr>" + "".join(f"<td>{t}</td>" for t in text) + "</tr>")
    return "\n".join(out + ["</table>"])


def write_html(scoring, figures, out):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    out = Path(out)
    images = []
    suites = [s for s in figures.get("by_suite", {})]
    for suite in suites:
        fig = _ladder_plots(figures, suite, plt)
        name = f"score_{suite}.png"
        fig.savefig(out / name, dpi=90)
        plt.close(fig)
        images.append((suite, name))
    worst = []
    for k, run in enumerate(scoring.worst_runs()):
        fig = _run_plot(scoring, run, plt)
        name = f"score_worst_{k + 1}.png"
        fig.savefig(out / name, dpi=80)
        plt.close(fig)
        worst.append((run["stem"], name))

    total = dict(figures, suite="all", series="", level="")
    version = figures.get("suite_version")
    parts = [
        "<!DOCTYPE html><html><head><meta charset='utf-8'><title>Elutrix score</title><style>"
        "body{font-family:sans-serif;margin:1.5em;max-width:1200px}"
        "table{border-collapse:collapse;font-size:13px;margin-bottom:1em}"
        "td,th{border:1px solid #bbb;padding:2px 6px;text-align:right}td{white-space:nowrap}th{background:#eee}"
        "img{max-width:100%}</style></head><body>",
        "<h1>Elutrix score</h1>",
        f"<p>Suite <b>{_fmt(figures.get('suite'))}</b>, version <b>{_fmt(version)}</b>: "
        f"{figures['runs']} runs, {figures['true_peaks']} true peaks, {figures['found_peaks']} found peaks, "
        f"{figures['matched']} matched. Recall <b>{_fmt(figures['recall'])}</b>, precision "
        f"<b>{_fmt(figures['precision'])}</b>, {_fmt(figures['false_per_run'])} false peaks per run. "
        "Errors are found minus true (retention time in minutes; area, height and width at half height relative: "
        "divided by the true value), over matched peaks.</p>",
        _table([total], figures),
    ]
    for label, name in images:
        parts.append(f"<h2>{html.escape(label)}</h2><img src='{name}' alt='{html.escape(label)}'>")
    parts.append("<h2>The five worst runs</h2><p>One run of each of the five worst scenarios: most missed and false "
                 "peaks first, then the largest retention-time error against the tolerance. Triangles: true apexes; "
                 "crosses: found peaks (at their height, or on the trace when FOUND has no height).</p>")
    for stem, name in worst:
        parts.append(f"<img src='{name}' alt='{html.escape(stem)}'>")
    parts.append("<h2>Every level</h2>")
    parts.append(_table(figures["by_level"], figures))
    parts.append("<p>score.json holds these figures, score.csv one line per true peak.</p></body></html>")
    (out / "score.html").write_text("\n".join(parts) + "\n")
