"""The table, the JSON file and the chart of one benchmark run."""
import json
import os


def num(value):
    magnitude = abs(value)
    if magnitude >= 1000:
        return f"{value:,.0f}"
    if magnitude >= 100:
        return f"{value:.0f}"
    if magnitude >= 10:
        return f"{value:.1f}"
    return f"{value:.2f}"


def _span(low, high):
    return f"{num(low)} – {num(high)}"


def _target_line(target):
    verdict = "PASS" if target["pass"] else "FAIL"
    sign = "≤" if target["op"] == "<=" else "≥"
    return f"{verdict}  {target['label']}: {target['value']:.3f} (target {sign} {target['limit']:g})"


def table(doc):
    """The run as text: one block per benchmark, then the targets."""
    lines = []
    head = doc["run"]
    lines.append(f"vorlen benchmarks ({'quick' if head['quick'] else 'default'} run, "
                 f"{head['cpus']} CPUs, Python {head['python']}, "
                 f"start method {head['start_method']}, {head['created']})")
    lines.append(f"load average (1 min) {head['load_before']:.2f} before, "
                 f"{head.get('load_after', float('nan')):.2f} after"
                 + ("; other work on the machine disturbs these figures"
                    if max(head["load_before"], head.get("load_after", 0)) > 0.5 * head["cpus"]
                    else ""))
    lines.append("median and spread over repeated rounds; ratio = median ÷ median "
                 "of row #N; per-round rows divide the two cases round by round")
    width = max([len(r["label"]) for b in doc["benchmarks"].values()
                 for r in b.get("rows", [])] + [20])
    header = (f"     {'case':<{width}}  {'unit':<10} {'median':>9}  "
              f"{'IQR':>19}  {'min – max':>19}  ratio")
    for name, bench in doc["benchmarks"].items():
        lines.append("")
        params = ", ".join(f"{k}={v}" for k, v in bench.get("params", {}).items())
        load = bench.get("load")
        lines.append(f"== {bench['title']} [{name}] {bench.get('seconds', 0):.1f} s"
                     + (f", load {load[0]:.1f} → {load[1]:.1f}" if load else "")
                     + (f"; {params}" if params else ""))
        if bench["status"] != "ok":
            lines.append(f"   {bench['status'].upper()}: {bench['message']}")
            continue
        lines.append(header)
        numbers = {row["key"]: i + 1 for i, row in enumerate(bench["rows"])}
        for row in bench["rows"]:
            mark = "*" if row["subject"] else " "
            if row.get("ref") and row["ref"] != row["key"]:
                ratio = f"{row['ratio']:.2f} × #{numbers[row['ref']]}"
            elif row.get("ref"):
                ratio = "reference"
            else:
                ratio = ""
            lines.append(
                f"{numbers[row['key']]:>2} {mark} {row['label']:<{width}}  {row['unit']:<10} "
                f"{num(row['median']):>9}  {_span(row['q1'], row['q3']):>19}  "
                f"{_span(row['min'], row['max']):>19}  {ratio}")
        for target in bench["targets"]:
            lines.append(f"   {_target_line(target)}")
        for note in bench["notes"]:
            lines.append(f"   note: {note}")
    lines.append("")
    lines.append("Targets")
    for name, bench in doc["benchmarks"].items():
        if bench["status"] == "ok":
            lines.extend(f"  {_target_line(t)}" for t in bench["targets"])
        elif bench.get("has_targets"):
            lines.append(f"  ----  {name}: not measured ({bench['status']})")
    return "\n".join(lines)


def write_json(doc, path):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as out:
        json.dump(doc, out, indent=2, ensure_ascii=False)
        out.write("\n")


def chart(doc, path):
    """One panel per benchmark and unit: the median of each case as a bar,
    its min–max range as an error bar, our own cases in a darker colour."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter

    panels = []
    for bench in doc["benchmarks"].values():
        if bench["status"] != "ok":
            continue
        units = []
        for row in bench["rows"]:
            if not row["derived"] and row["unit"] not in units:
                units.append(row["unit"])
        for i, unit in enumerate(units):
            rows = [r for r in bench["rows"] if r["unit"] == unit and not r["derived"]]
            targets = bench["targets"] if i == 0 else []
            panels.append((bench["title"], unit, rows, targets))
    if not panels:
        return False

    heights = [0.42 * len(rows) + 1.1 + 0.2 * len(targets)
               for _, _, rows, targets in panels]
    fig, axes = plt.subplots(len(panels), 1, figsize=(11, sum(heights)),
                             gridspec_kw={"height_ratios": heights}, squeeze=False)
    for ax, (title, unit, rows, targets) in zip(axes[:, 0], panels):
        labels = [r["label"] for r in rows][::-1]
        medians = [r["median"] for r in rows][::-1]
        low = [r["median"] - r["min"] for r in rows][::-1]
        high = [r["max"] - r["median"] for r in rows][::-1]
        colours = ["#1f5fa8" if r["subject"] else "#a9b8c9" for r in rows][::-1]
        positions = range(len(rows))
        ax.barh(positions, medians, color=colours, xerr=[low, high],
                error_kw={"ecolor": "#333333", "capsize": 3, "lw": 1})
        ax.set_yticks(list(positions), labels, fontsize=8)
        ends = [r["max"] for r in rows][::-1]
        for y, value, end in zip(positions, medians, ends):
            ax.annotate(num(value), (end, y), xytext=(6, -3),
                        textcoords="offset points", fontsize=7)
        better = "higher" if rows[0]["better"] == "higher" else "lower"
        top = max(r["max"] for r in rows)
        logarithmic = top > 20 * min(medians)  # one case far off the others' scale
        if logarithmic:
            ax.set_xscale("log")
            ax.set_xlim(min(r["min"] for r in rows) / 2, top * 3)
        else:
            ax.set_xlim(0, top * 1.18)
        heading = (f"{title} — {unit} ({better} is better"
                   + (", log scale)" if logarithmic else ")"))
        for target in targets:
            heading += "\n" + _target_line(target)
        ax.set_title(heading, fontsize=9, loc="left")
        ax.xaxis.set_major_formatter(FuncFormatter(lambda v, _: num(v)))
        ax.tick_params(axis="x", labelsize=7)
        ax.grid(axis="x", alpha=0.3)
    head = doc["run"]
    fig.suptitle(f"vorlen benchmarks, {'quick' if head['quick'] else 'default'} run, "
                 f"{head['created']}", fontsize=10)
    fig.tight_layout(rect=(0, 0, 1, 1 - 0.5 / sum(heights)))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True
