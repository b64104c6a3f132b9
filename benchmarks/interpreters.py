"""The headline figures of several runs side by side, one run per
interpreter: the round trip and the 200 MB arrays, each with its ratio to
the reference measured in the same run.

    python benchmarks/interpreters.py results/latest.json results/latest-3.13.json
"""
import json
import sys

MB = 1_000_000  # as bench_arrays counts
# (benchmark, row key): the figures compared.
HEADLINES = [
    ("roundtrip", "tamsel"),
    ("roundtrip", "floor"),
    ("arrays", f"answer_{200 * MB}"),
    ("arrays", f"answer_raw_{200 * MB}"),
    ("arrays", f"request_{200 * MB}"),
    ("arrays", f"request_raw_{200 * MB}"),
    ("arrays", f"bytes_{200 * MB}"),
]


def headline_rows(doc):
    for bench, key in HEADLINES:
        rows = doc["benchmarks"].get(bench, {}).get("rows", [])
        row = next((r for r in rows if r["key"] == key), None)
        if row is not None:
            yield row


def main(paths):
    print(f"{'python':<8} {'figure':<52} {'median':>12} {'ratio':>7}  reference")
    for path in paths:
        with open(path) as f:
            doc = json.load(f)
        python = doc["run"]["python"]
        for row in headline_rows(doc):
            ratio = row.get("ratio")
            print(f"{python:<8} {row['label'][:52]:<52} {row['median']:>8.2f} {row['unit']:<4}"
                  f"{'' if ratio is None else f'{ratio:>6.2f}x'}  {row.get('ref_label', '')}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
