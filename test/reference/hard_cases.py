#!/usr/bin/env python3
"""Regenerates the hard numerical reference cases (acc_*) and the NIST StRD cases (nist_*): data
with large constant offsets, near-collinear regressors, ill-conditioned polynomials and decimal
values a double cannot hold, with every expected number computed in exact rational arithmetic
(fractions.Fraction) from the data as written.

In the first group of acc_* cases every value written to data.csv is a binary fraction that a
double holds exactly, so the exact answer for the text is also the exact answer for the doubles a
reader gets. The decimal acc_* cases and the nist_* cases hold decimal text: their truths are exact
for the text. A correct program is held to 1e-9 relative (1e-10 for the one-way decimal sets).
Run from anywhere: python3 test/reference/hard_cases.py (about a minute).
"""
import json
import math
import os
from fractions import Fraction as F

HERE = os.path.dirname(os.path.abspath(__file__))


def solve(a, b):
    """Solves a x = b exactly (a square, nonsingular) by Gauss-Jordan on Fractions."""
    n = len(a)
    m = [row[:] + [b[i]] for i, row in enumerate(a)]
    for c in range(n):
        piv = next(r for r in range(c, n) if m[r][c] != 0)
        m[c], m[piv] = m[piv], m[c]
        pv = m[c][c]
        m[c] = [v / pv for v in m[c]]
        for r in range(n):
            if r != c and m[r][c] != 0:
                f = m[r][c]
                m[r] = [vr - f * vc for vr, vc in zip(m[r], m[c])]
    return [m[i][n] for i in range(n)]


def inverse(a):
    n = len(a)
    cols = [solve(a, [F(int(i == j)) for i in range(n)]) for j in range(n)]
    return [[cols[j][i] for j in range(n)] for i in range(n)]


def ols(cols, y):
    """Exact least squares of y on the columns (a list of lists): b, (X'X)^-1, RSS."""
    p = len(cols)
    xtx = [[sum(ci * cj for ci, cj in zip(cols[i], cols[j])) for j in range(p)] for i in range(p)]
    xty = [sum(ci * yi for ci, yi in zip(cols[i], y)) for i in range(p)]
    b = solve(xtx, xty)
    rss = sum(yi * yi for yi in y) - sum(bi * v for bi, v in zip(b, xty))
    return b, inverse(xtx), rss


def num(x):
    return float(x)


def sqrt_frac(x):
    # sqrt of a Fraction to double precision: scale to a big integer and take isqrt.
    scale = 10 ** 40
    return math.isqrt(int(x * scale * scale)) / scale


def fmt(v):
    """A binary fraction as a short exact decimal."""
    f = F(v)
    assert f.denominator & (f.denominator - 1) == 0, v
    s = repr(float(f))
    assert F(s) == f, (s, f)
    if s.endswith(".0"):
        s = s[:-2]
    return s


def write_case(name, description, header, rows, command, tables, footnotes, notes):
    d = os.path.join(HERE, name)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "data.csv"), "w") as f:
        f.write(",".join(header) + "\n")
        for r in rows:
            f.write(",".join(fmt(v) for v in r) + "\n")
    with open(os.path.join(d, "command.qv"), "w") as f:
        f.write(command + "\n")
    exp = {
        "case": name,
        "description": description,
        "tolerance": 1e-9,
        "abs_tolerance": 0.0,
        "notes": notes + " Exact least-squares answer in rational arithmetic (test/reference/hard_cases.py); "
        "every data value is a binary fraction, exact as a double.",
        "tables": tables,
        "footnotes": footnotes,
    }
    with open(os.path.join(d, "expected.json"), "w") as f:
        json.dump(exp, f, indent=1)
        f.write("\n")


def fit_tables(y, full, effects, labels, redundant, intercept=True, sstype=3, test_rows=None):
    """full: list of (label, column) of the non-redundant parameterisation in column order.
    effects: list of (effect name, [column labels]) in design order.
    Type III rows: drop test of the effect's columns (valid when no effect contains another or
    for the rows named in test_rows). Type I rows: sequential."""
    names = [n for n, _ in full]
    cols = [c for _, c in full]
    n = len(y)
    b, xinv, rss = ols(cols, y)
    p = len(cols)
    dfe = n - p
    mse = rss / dfe
    ybar = sum(y) / n
    tss_c = sum((v - ybar) ** 2 for v in y)
    tss = sum(v * v for v in y)
    tests = {}
    rows = test_rows if test_rows is not None else [e for e, _ in effects]
    if sstype == 3:
        for e, elabels in effects:
            if e not in rows:
                continue
            keep = [c for nm, c in full if nm not in elabels]
            _, _, rss0 = ols(keep, y) if keep else (None, None, tss)
            ss = rss0 - rss
            df = len(elabels)
            tests[e] = {"Type III Sum of Squares": num(ss), "df": df, "F": num(ss / df / mse)}
    else:
        prev = tss
        used = []
        for e, elabels in effects:
            used += elabels
            cur = ols([c for nm, c in full if nm in used], y)[2]
            ss = prev - cur
            df = len(elabels)
            tests[e] = {"Type I Sum of Squares": num(ss), "df": df, "F": num(ss / df / mse)}
            prev = cur
    key = "Type III Sum of Squares" if sstype == 3 else "Type I Sum of Squares"
    model_df = p - (1 if intercept else 0)
    ssm = (tss_c if intercept else tss) - rss
    out = {("Corrected Model" if intercept else "Model"): {key: num(ssm), "df": model_df,
                                                             "F": num(ssm / model_df / mse)}}
    out.update(tests)
    out["Error"] = {key: num(rss), "df": dfe}
    if intercept:
        out["Corrected Total"] = {key: num(tss_c), "df": n - 1}
    out["Total"] = {key: num(tss), "df": n}
    params = {}
    for lab in labels:
        if lab in redundant:
            params[lab] = {"B": 0, "redundant": True}
        else:
            i = names.index(lab)
            params[lab] = {"B": num(b[i]), "Std. Error": sqrt_frac(mse * xinv[i][i])}
    r2 = ssm / (tss_c if intercept else tss)
    return {"Tests of Between-Subjects Effects": out, "Parameter Estimates": params}, {"R Squared": num(r2)}


def wobble(i, k=7):
    """A deterministic pattern in 0..k-1 that looks irregular."""
    return (i * 5 + (i * i) % 11) % k


def ancova(name, offset, design_axax, sstype=3):
    rows = []
    for a in (1, 2, 3):
        for i in range(10):
            u = F(wobble(i + 3 * a, 41), 8)  # 0 .. 5, eighths
            x = offset + u
            y = 20 + 2 * a + F(9, 4) * u + (F(1, 2) * a * u if design_axax else 0) + F(wobble(i + a, 9) - 4, 4)
            rows.append((a, x, y))
    y = [r[2] for r in rows]
    one = [F(1)] * len(rows)
    ind = {lv: [F(int(r[0] == lv)) for r in rows] for lv in (1, 2, 3)}
    x = [F(r[1]) for r in rows]
    if design_axax:
        full = [("Intercept", one), ("[a=1]", ind[1]), ("[a=2]", ind[2]), ("x", x),
                ("[a=1] * x", [i * v for i, v in zip(ind[1], x)]), ("[a=2] * x", [i * v for i, v in zip(ind[2], x)])]
        effects = [("Intercept", ["Intercept"]), ("a", ["[a=1]", "[a=2]"]), ("x", ["x"]),
                   ("a * x", ["[a=1] * x", "[a=2] * x"])]
        labels = ["Intercept", "[a=1]", "[a=2]", "[a=3]", "x", "[a=1] * x", "[a=2] * x", "[a=3] * x"]
        redundant = {"[a=3]", "[a=3] * x"}
        command = "QUORVEST y BY a WITH x\n  /DESIGN=a x a*x\n  /PRINT=PARAMETER."
        # Only the highest effect's Type III row is a plain drop test here.
        tables, foot = fit_tables(y, full, effects, labels, redundant, test_rows=["a * x"])
        desc = "DESIGN=a x a*x, a 3 levels x 10, x = %g + u (u in eighths, 0..5)" % offset
    else:
        full = [("Intercept", one), ("x", x), ("[a=1]", ind[1]), ("[a=2]", ind[2])]
        effects = [("Intercept", ["Intercept"]), ("x", ["x"]), ("a", ["[a=1]", "[a=2]"])]
        labels = ["Intercept", "x", "[a=1]", "[a=2]", "[a=3]"]
        redundant = {"[a=3]"}
        if sstype == 1:
            command = "QUORVEST y BY a WITH x\n  /METHOD=SSTYPE(1)\n  /PRINT=PARAMETER."
            tables, foot = fit_tables(y, full, effects, labels, redundant, sstype=1)
        else:
            command = "QUORVEST y BY a WITH x\n  /PRINT=PARAMETER."
            tables, foot = fit_tables(y, full, effects, labels, redundant, test_rows=["x", "a"])
        desc = "ANCOVA a (3 levels x 10) + x, x = %g + u (u in eighths, 0..5), Type %s" % (offset, "I" if sstype == 1 else "III")
    write_case(name, desc, ["a", "x", "y"], rows, command, tables, foot,
               "The covariate's constant part must neither make it look aliased nor cost digits.")


def year_collinear():
    rows = []
    for i, year in enumerate(range(1990, 2021)):
        z = F(year, 2) + F(wobble(i, 5), 64)  # follows year closely
        w = 3 * year - 2 * z + F(wobble(i + 2, 3), 32) + i * i
        yv = F(1, 8) * year + 2 * z - F(1, 4) * w + F(wobble(i + 1, 7) - 3, 16)
        rows.append((year, z, w, yv))
    y = [r[3] for r in rows]
    one = [F(1)] * len(rows)
    cols = {"year": [F(r[0]) for r in rows], "z": [F(r[1]) for r in rows], "w": [F(r[2]) for r in rows]}
    full = [("Intercept", one)] + [(k, cols[k]) for k in ("year", "z", "w")]
    effects = [("Intercept", ["Intercept"]), ("year", ["year"]), ("z", ["z"]), ("w", ["w"])]
    labels = ["Intercept", "year", "z", "w"]
    tables, foot = fit_tables(y, full, effects, labels, set())
    write_case("acc_year_collinear", "calendar-year covariate with close partners z ~ year/2 and w", ["year", "z", "w", "y"],
               rows, "QUORVEST y WITH year z w\n  /PRINT=PARAMETER.", tables, foot,
               "Year on the calendar scale next to regressors that follow it closely (full rank).")


def cubic():
    rows = []
    for i, xv in enumerate(range(1000, 1101, 2)):
        d = F(xv - 1050)
        yv = 3 + d / 32 - d * d / 1024 + d ** 3 / 65536 + F(wobble(i, 9) - 4, 256)
        rows.append((xv, yv))
    y = [r[1] for r in rows]
    x = [F(r[0]) for r in rows]
    one = [F(1)] * len(rows)
    full = [("Intercept", one), ("x", x), ("x * x", [v * v for v in x]), ("x * x * x", [v ** 3 for v in x])]
    effects = [("Intercept", ["Intercept"]), ("x", ["x"]), ("x * x", ["x * x"]), ("x * x * x", ["x * x * x"])]
    labels = ["Intercept", "x", "x * x", "x * x * x"]
    tables, foot = fit_tables(y, full, effects, labels, set())
    write_case("acc_cubic_1000", "cubic in x = 1000, 1002, ..., 1100", ["x", "y"], rows,
               "QUORVEST y WITH x\n  /DESIGN=x x*x x*x*x\n  /PRINT=PARAMETER.", tables, foot,
               "Powers of an offset covariate are nearly collinear in their raw form.")


def noint():
    rows = []
    for i in range(12):
        xv = 1000000 + F(wobble(i, 13), 4)
        yv = F(3, 2) * xv + F(wobble(i + 4, 7) - 3, 8)
        rows.append((xv, yv))
    y = [r[1] for r in rows]
    x = [F(r[0]) for r in rows]
    full = [("x", x)]
    tables, foot = fit_tables(y, full, [("x", ["x"])], ["x"], set(), intercept=False)
    write_case("acc_noint_off6", "no intercept, x = 1e6 + u", ["x", "y"], rows,
               "QUORVEST y WITH x\n  /INTERCEPT=EXCLUDE\n  /PRINT=PARAMETER.", tables, foot,
               "Regression through the origin on offset data.")


def ax_only():
    # DESIGN=a*x alone: the a*x columns carry the covariate's constant themselves (no a, no x).
    rows = []
    for a in (1, 2):
        for i in range(6):
            xv = 1000 + (i * 5 + a) % 3 // 2 + F(i % 2, 4)
            yv = 3 + a * F(3, 4) * (xv - 1000) + F(wobble(i + a, 5) - 2, 8)
            rows.append((a, xv, yv))
    y = [r[2] for r in rows]
    one = [F(1)] * len(rows)
    cols = [("Intercept", one)] + [("[a=%d] * x" % lv, [F(r[1]) if r[0] == lv else F(0) for r in rows]) for lv in (1, 2)]
    effects = [("Intercept", ["Intercept"]), ("a * x", ["[a=1] * x", "[a=2] * x"])]
    tables, foot = fit_tables(y, cols, effects, ["Intercept", "[a=1] * x", "[a=2] * x"], set())
    write_case("acc_ax_only_1000", "DESIGN=a*x, x = 1000 .. 1001.25", ["a", "x", "y"], rows,
               "QUORVEST y BY a WITH x\n  /DESIGN=a*x\n  /PRINT=PARAMETER.", tables, foot,
               "Covariate columns within factor levels, without the factor or the covariate alone.")


def axax_types(offset):
    """DESIGN=a x a*x with all four sums of squares, every row. The model is three lines
    y = c_a + s_a x; in that full-rank form each hypothesis is a set of linear functions of
    (c_1, c_2, c_3, s_1, s_2, s_3) with SS = (Lb)' (L (Z'Z)^-1 L')^-1 (Lb):
      Types III and IV (all cells filled, so they agree): Intercept c1+c2+c3 = 0; a c1=c2=c3;
        x s1+s2+s3 = 0; a*x s1=s2=s3.
      Type II (each effect after every effect that does not contain it; a contains the
        Intercept, a*x contains x): Intercept after the slopes through the origin, a after x
        and a*x (as III), x after the Intercept and a, a*x after the rest (as III).
      Type I: sequential in design order."""
    rows = []
    for a in (1, 2, 3):
        for i in range(10):
            u = F(wobble(i + 3 * a, 41), 8)
            x = offset + u
            y = 20 + 2 * a + F(9, 4) * u + F(1, 2) * a * u + F(wobble(i + a, 9) - 4, 4)
            rows.append((a, x, y))
    y = [r[2] for r in rows]
    n = len(y)
    one = [F(1)] * n
    ind = {lv: [F(int(r[0] == lv)) for r in rows] for lv in (1, 2, 3)}
    x = [F(r[1]) for r in rows]
    sl = {lv: [i * v for i, v in zip(ind[lv], x)] for lv in (1, 2, 3)}
    z = [ind[1], ind[2], ind[3], sl[1], sl[2], sl[3]]
    b, zinv, rss = ols(z, y)
    dfe = n - 6
    mse = rss / dfe
    tss = sum(v * v for v in y)
    tss_c = tss - sum(y) ** 2 / n

    def lss(lrows):
        lb = [sum(l * v for l, v in zip(r, b)) for r in lrows]
        m = [[sum(r1[i] * zinv[i][j] * r2[j] for i in range(6) for j in range(6)) for r2 in lrows] for r1 in lrows]
        return sum(u * v for u, v in zip(lb, solve(m, lb)))

    def rss_of(cols):
        return ols(cols, y)[2] if cols else tss

    sums3 = {"Intercept": (lss([[1, 1, 1, 0, 0, 0]]), 1), "a": (lss([[1, -1, 0, 0, 0, 0], [0, 1, -1, 0, 0, 0]]), 2),
             "x": (lss([[0, 0, 0, 1, 1, 1]]), 1), "a * x": (lss([[0, 0, 0, 1, -1, 0], [0, 0, 0, 0, 1, -1]]), 2)}
    slopes = [sl[1], sl[2], sl[3]]
    lines = [ind[1], ind[2], ind[3]]
    sums = {
        1: {"Intercept": (tss - rss_of([one]), 1), "a": (rss_of([one]) - rss_of(lines), 2),
            "x": (rss_of(lines) - rss_of(lines + [x]), 1), "a * x": (rss_of(lines + [x]) - rss, 2)},
        2: {"Intercept": (rss_of(slopes) - rss_of([one] + slopes), 1), "a": sums3["a"],
            "x": (rss_of(lines) - rss_of(lines + [x]), 1), "a * x": sums3["a * x"]},
        3: sums3,
        4: sums3,
    }
    # Type I and Type II rows are drop tests; III's a and a*x rows are too: check the L forms.
    assert sums3["a"][0] == rss_of([one] + slopes) - rss
    assert sums3["a * x"][0] == rss_of(lines + [x]) - rss
    roman = {1: "I", 2: "II", 3: "III", 4: "IV"}
    full = [("Intercept", one), ("[a=1]", ind[1]), ("[a=2]", ind[2]), ("x", x),
            ("[a=1] * x", sl[1]), ("[a=2] * x", sl[2])]
    effects = [("Intercept", ["Intercept"]), ("a", ["[a=1]", "[a=2]"]), ("x", ["x"]),
               ("a * x", ["[a=1] * x", "[a=2] * x"])]
    labels = ["Intercept", "[a=1]", "[a=2]", "[a=3]", "x", "[a=1] * x", "[a=2] * x", "[a=3] * x"]
    for t in (1, 2, 3, 4):
        key = "Type %s Sum of Squares" % roman[t]
        tables, foot = fit_tables(y, full, effects, labels, {"[a=3]", "[a=3] * x"}, test_rows=[])
        tb = tables["Tests of Between-Subjects Effects"]
        for row in tb.values():
            v = row.pop("Type III Sum of Squares")
            row[key] = v
        for e, (ss, df) in sums[t].items():
            tb[e] = {key: num(ss), "df": df, "F": num(ss / df / mse)}
        name = "acc_axax_off9_type%d" % t
        command = "QUORVEST y BY a WITH x\n  /DESIGN=a x a*x\n  /METHOD=SSTYPE(%d)\n  /PRINT=PARAMETER." % t
        desc = "DESIGN=a x a*x, Type %s, a 3 levels x 10, x = %g + u (u in eighths, 0..5)" % (roman[t], offset)
        write_case(name, desc, ["a", "x", "y"], rows, command, tables, foot,
                   "Every row of the Type %s table for a covariate with a large constant part; "
                   "hypotheses from the three-lines form (hard_cases.py, axax_types)." % roman[t])


if __name__ == "__main__":
    ax_only()
    ancova("acc_ancova_off9", 10 ** 9, False)
    ancova("acc_ancova_off9_type1", 10 ** 9, False, sstype=1)
    ancova("acc_axax_off6", 10 ** 6, True)
    ancova("acc_axax_off9", 10 ** 9, True)
    axax_types(10 ** 9)
    year_collinear()
    cubic()
    noint()


# ---- Decimal input: values a double cannot hold. The truths are exact for the decimal text, so
# a program reading each field into the nearest double loses digits in proportion to the offset
# (about 4 significant digits of the deviations remain at 10^12).

def write_decimal_case(name, description, header, rows, command, tables, footnotes, notes):
    d = os.path.join(HERE, name)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "data.csv"), "w") as f:
        f.write(",".join(header) + "\n")
        for r in rows:
            f.write(",".join(r) + "\n")
    with open(os.path.join(d, "command.qv"), "w") as f:
        f.write(command + "\n")
    exp = {"case": name, "description": description, "tolerance": 1e-10, "abs_tolerance": 0.0,
           "notes": notes + " Exact answer for the decimal text in rational arithmetic "
           "(test/reference/hard_cases.py).", "tables": tables, "footnotes": footnotes}
    with open(os.path.join(d, "expected.json"), "w") as f:
        json.dump(exp, f, indent=1)
        f.write("\n")


def oneway_tables(groups, values):
    """One-way model y BY g (levels 1..k): Type III table and parameter estimates."""
    y = [F(v) for v in values]
    n = len(y)
    levels = sorted(set(groups))
    k = len(levels)
    ybar = sum(y) / n
    tss_c = sum((v - ybar) ** 2 for v in y)
    means = {lv: sum(v for g, v in zip(groups, y) if g == lv) / groups.count(lv) for lv in levels}
    sse = sum((v - means[g]) ** 2 for g, v in zip(groups, y))
    dfe = n - k
    mse = sse / dfe
    ssa = tss_c - sse
    tests = {"Error": {"Type III Sum of Squares": num(sse), "df": dfe},
             "Corrected Total": {"Type III Sum of Squares": num(tss_c), "df": n - 1}}
    params = {}
    if k > 1:
        tests["g"] = {"Type III Sum of Squares": num(ssa), "df": k - 1, "F": num(ssa / (k - 1) / mse)}
        last = levels[-1]
        params["Intercept"] = {"B": num(means[last]), "Std. Error": sqrt_frac(mse / groups.count(last))}
        for lv in levels[:-1]:
            params["[g=%d]" % lv] = {"B": num(means[lv] - means[last]),
                                     "Std. Error": sqrt_frac(mse * (F(1, groups.count(lv)) + F(1, groups.count(last))))}
        foot = {"R Squared": num(ssa / tss_c)}
    else:
        params["Intercept"] = {"B": num(ybar), "Std. Error": sqrt_frac(mse / n)}
        foot = {}
    return {"Tests of Between-Subjects Effects": tests, "Parameter Estimates": params}, foot


def smls_like():
    # The pattern of the NIST StRD univariate sets SmLs01-09: the value c + 0.4 once, then c + 0.3
    # and c + 0.5 alternately (21 or 1001 values), and a set of c + 0.1 / 0.2 / 0.3 ... runs.
    for tag, c in (("0", 1), ("6", 1000000), ("12", 1000000000000)):
        for size in (21, 1001):
            vals = ["%d.4" % c] + ["%d.%d" % (c, 3 if i % 2 == 0 else 5) for i in range(size - 1)]
            tables, foot = oneway_tables([1] * size, vals)
            write_decimal_case("acc_smls_off%s_n%d" % (tag, size),
                               "SmLs-style: %d values %d.4, %d.3, %d.5, ... (mean and SD)" % (size, c, c, c),
                               ["y"], [[v] for v in vals], "QUORVEST y\n  /PRINT=PARAMETER.", tables, foot,
                               "Mean (Intercept B) and standard deviation (error SS) of decimal data with an offset.")
        vals = []
        groups = []
        for gi in range(1, 4):
            for i in range(7):
                vals.append("%d.%d" % (c, (gi * 3 + i * 5) % 9 + 1))
                groups.append(gi)
        tables, foot = oneway_tables(groups, vals)
        write_decimal_case("acc_sirstv_like_off%s" % tag, "one-way, 3 groups x 7, decimal values %d.1 .. %d.9" % (c, c),
                           ["g", "y"], [[str(g), v] for g, v in zip(groups, vals)],
                           "QUORVEST y BY g\n  /PRINT=PARAMETER.", tables, foot,
                           "One-way analysis of variance of decimal data with an offset.")


def atmwtag_like():
    # Two groups of 24 values 107.868xxxx with seven decimals, like the atomic-weight data set.
    vals, groups = [], []
    for gi in (1, 2):
        for i in range(24):
            frac = 1500000 + 100 * gi + (i * 37 + gi * 11) % 97 * 13
            vals.append("107.8%07d" % frac)
            groups.append(gi)
    tables, foot = oneway_tables(groups, vals)
    write_decimal_case("acc_atmwtag_like", "two groups x 24, values 107.815.. with 8 decimals", ["g", "y"],
                       [[str(g), v] for g, v in zip(groups, vals)], "QUORVEST y BY g\n  /PRINT=PARAMETER.",
                       tables, foot, "A tiny between-group difference on a large common value.")


if __name__ == "__main__":
    smls_like()
    atmwtag_like()


# ---- NIST StRD: the one-way ANOVA sets SmLs01-09, SiRstv and AtmWtAg and the linear-regression
# sets Norris, Pontius, NoInt1/2 and Wampler1-5 (Longley is accuracy_longley), data from
# nist_strd_data.py. The truths are exact for the decimal text of data.csv; each case's notes say
# how many digits NIST's certified values (15 significant digits) agree with them, and how many
# digits the exact answer for the nearest doubles keeps.

def lre(got, want):
    """Number of agreeing significant digits of got with want (Fractions), capped at 17."""
    if got == want:
        return 17.0
    if want == 0:
        return min(17.0, -math.log10(abs(float(got))))
    return min(17.0, -math.log10(abs(float((got - want) / want))))


def cert_lre(pairs):
    """Smallest number of digits on which the exact values agree with the certified ones."""
    return min(lre(F(c), exact) for exact, c in pairs if c is not None)


def write_nist_case(name, description, header, rows, command, tables, footnotes, notes, tolerance,
                    overrides=None):
    d = os.path.join(HERE, name)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "data.csv"), "w") as f:
        f.write(",".join(header) + "\n")
        for r in rows:
            f.write(",".join(r) + "\n")
    with open(os.path.join(d, "command.qv"), "w") as f:
        f.write(command + "\n")
    exp = {"case": name, "description": description, "tolerance": tolerance, "abs_tolerance": 0.0}
    if overrides:
        exp["tolerance_overrides"] = overrides
    exp.update({"notes": notes, "tables": tables, "footnotes": footnotes})
    with open(os.path.join(d, "expected.json"), "w") as f:
        json.dump(exp, f, indent=1)
        f.write("\n")


def exact_oneway(groups, y):
    """Exact one-way quantities: group means, SSB, SSW, corrected total."""
    n = len(y)
    levels = sorted(set(groups))
    cnt = {lv: groups.count(lv) for lv in levels}
    means = {lv: sum(v for g, v in zip(groups, y) if g == lv) / cnt[lv] for lv in levels}
    ybar = sum(y) / n
    sst = sum((v - ybar) ** 2 for v in y)
    ssw = sum((v - means[g]) ** 2 for g, v in zip(groups, y))
    return levels, cnt, means, sst - ssw, ssw, sst


def nist_anova(setname, rows, cert):
    groups = [g for g, _ in rows]
    texts = [v for _, v in rows]
    y = [F(v) for v in texts]
    n = len(y)
    levels, cnt, means, ssb, ssw, sst = exact_oneway(groups, y)
    k = len(levels)
    dfb, dfw = k - 1, n - k
    msb, msw = ssb / dfb, ssw / dfw
    fstat = msb / msw
    r2 = ssb / sst
    agree = cert_lre([(ssb, cert["between_ss"]), (msb, cert["between_ms"]), (fstat, cert["f"]),
                      (ssw, cert["within_ss"]), (msw, cert["within_ms"]), (r2, cert["r2"]),
                      (msw, str(F(cert["resid_sd"]) ** 2))])
    assert (dfb, dfw) == (cert["between_df"], cert["within_df"])
    assert agree >= 14, (setname, agree)
    # The same analysis of the nearest doubles: how far a reader that rounds each field to a
    # double is from the answer for the text.
    yb = [F(float(v)) for v in texts]
    _, _, _, ssb_b, ssw_b, _ = exact_oneway(groups, yb)
    binary = min(lre(ssb_b, ssb), lre(ssw_b, ssw))
    last = levels[-1]
    # Type III intercept hypothesis of a one-way model: the unweighted mean of the treatment means,
    # SS = (sum m_i / k)^2 / sum 1 / (k^2 n_i).
    ssi = (sum(means.values()) / k) ** 2 / sum(F(1, k * k * cnt[lv]) for lv in levels)
    tests = {"Corrected Model": {"Type III Sum of Squares": num(ssb), "df": dfb, "Mean Square": num(msb),
                                 "F": num(fstat)},
             "Intercept": {"Type III Sum of Squares": num(ssi), "df": 1, "F": num(ssi / msw)},
             "g": {"Type III Sum of Squares": num(ssb), "df": dfb, "Mean Square": num(msb), "F": num(fstat)},
             "Error": {"Type III Sum of Squares": num(ssw), "df": dfw, "Mean Square": num(msw)},
             "Total": {"Type III Sum of Squares": num(sum(v * v for v in y)), "df": n},
             "Corrected Total": {"Type III Sum of Squares": num(sst), "df": n - 1}}
    params = {"Intercept": {"B": num(means[last]), "Std. Error": sqrt_frac(msw / cnt[last])}}
    overrides = []
    for lv in levels[:-1]:
        se = sqrt_frac(msw * (F(1, cnt[lv]) + F(1, cnt[last])))
        params["[g=%d]" % lv] = {"B": num(means[lv] - means[last]), "Std. Error": se}
        if means[lv] == means[last]:
            # An estimate that is 0 exactly: held to 1e-10 of its standard error.
            overrides.append({"path": ["Parameter Estimates", "[g=%d]" % lv, "B"], "tolerance": 0.0,
                              "abs_tolerance": 1e-10 * se})
    notes = ("NIST StRD %s (one-way ANOVA, %d treatments, %d observations), data as NIST prints them. "
             "Between/within SS, df, mean squares, F and R squared as certified; the residual SD is "
             "the square root of the Error mean square. Exact answer for the decimal text in rational "
             "arithmetic (test/reference/hard_cases.py); NIST's certified values agree with it to "
             "%.1f digits or more. The exact answer for the nearest doubles of the data keeps only "
             "%.1f digits of the sums of squares, so a reader must hold the decimal text more exactly "
             "than a double." % (setname, k, n, agree, binary))
    name = "nist_" + setname.lower()
    write_nist_case(name, "NIST StRD %s: QUORVEST y BY g" % setname, ["g", "y"],
                    [[str(g), v] for g, v in rows], "QUORVEST y BY g\n  /PRINT=PARAMETER.",
                    {"Tests of Between-Subjects Effects": tests, "Parameter Estimates": params},
                    {"R Squared": num(r2)}, notes, 1e-10, overrides)
    return name, agree, binary


def power_label(p):
    return " * ".join(["x"] * p)


def regression_fit(xs, ys, degree, intercept):
    """Exact least squares of y on x, x^2, ..., x^degree (and the intercept)."""
    powers = list(range(0 if intercept else 1, degree + 1))
    cols = [[x ** p for x in xs] for p in powers]
    b, xinv, rss = ols(cols, ys)
    n = len(ys)
    p = len(cols)
    dfe = n - p
    tss = sum(v * v for v in ys)
    ybar = sum(ys) / n
    tss_c = sum((v - ybar) ** 2 for v in ys)
    drops = {}
    for j, pw in enumerate(powers):
        keep = [c for i, c in enumerate(cols) if i != j]
        drops[pw] = (ols(keep, ys)[2] if keep else tss) - rss
    return powers, b, xinv, rss, dfe, tss, tss_c, drops


def nist_regression(setname, xtext, ytext, degree, intercept, cert, exact_fit=False, eps=None):
    xs = [F(v) for v in xtext]
    ys = [F(v) for v in ytext]
    n = len(ys)
    powers, b, xinv, rss, dfe, tss, tss_c, drops = regression_fit(xs, ys, degree, intercept)
    p = len(powers)
    mse = rss / dfe
    model_ss = (tss_c if intercept else tss) - rss
    model_df = p - (1 if intercept else 0)
    r2 = model_ss / (tss_c if intercept else tss)
    labels = {pw: ("Intercept" if pw == 0 else power_label(pw)) for pw in powers}
    key = "Type III Sum of Squares"
    mrow = "Corrected Model" if intercept else "Model"
    tests = {mrow: {key: num(model_ss), "df": model_df, "Mean Square": num(model_ss / model_df)}}
    for pw in powers:
        tests[labels[pw]] = {key: num(drops[pw]), "df": 1}
    tests["Error"] = {key: num(rss), "df": dfe}
    if intercept:
        tests["Corrected Total"] = {key: num(tss_c), "df": n - 1}
    tests["Total"] = {key: num(tss), "df": n}
    params = {labels[pw]: {"B": num(b[i])} for i, pw in enumerate(powers)}
    overrides = []
    if exact_fit:
        # The data lie exactly on the polynomial: RSS, the standard errors and every F are 0 or
        # infinite in exact arithmetic. A fit in floating point leaves residuals of rounding size;
        # accept residuals up to 1e-9 of the data's spread (RSS up to 1e-18 of the corrected total
        # SS) and standard errors up to what such a residual implies
        # (sqrt(1e-18 TSS / dfe * (X'X)^-1_jj)).
        assert rss == 0
        bound = F(1, 10 ** 18) * tss_c
        tests["Error"][key] = 0.0
        overrides.append({"path": ["Tests of Between-Subjects Effects", "Error", key],
                          "tolerance": 0.0, "abs_tolerance": float(bound)})
        for i, pw in enumerate(powers):
            params[labels[pw]]["Std. Error"] = 0.0
            overrides.append({"path": ["Parameter Estimates", labels[pw], "Std. Error"], "tolerance": 0.0,
                              "abs_tolerance": sqrt_frac(bound / dfe * xinv[i][i])})
    else:
        tests[mrow]["F"] = num(model_ss / model_df / mse)
        tests["Error"]["Mean Square"] = num(mse)
        for pw in powers:
            tests[labels[pw]]["F"] = num(drops[pw] / mse)
        for i, pw in enumerate(powers):
            params[labels[pw]]["Std. Error"] = sqrt_frac(mse * xinv[i][i])
    pairs = [(b[i], cert["b"][i]) for i in range(p)]
    pairs += [(model_ss, cert.get("reg_ss")), (r2, cert.get("r2"))]
    if not exact_fit:
        pairs += [(rss, cert.get("resid_ss")), (model_ss / model_df / mse, cert.get("f")),
                  (mse, str(F(cert["resid_sd"]) ** 2))]
        # Standard errors: compare squares (exact) with the certified values squared.
        pairs += [(mse * xinv[i][i], str(F(cert["se"][i]) ** 2)) for i in range(p)]
    agree = cert_lre(pairs)
    assert agree >= 13, (setname, agree)
    # The same fit of the nearest doubles of x and y.
    xb = [F(float(v)) for v in xtext]
    yb = [F(float(v)) for v in ytext]
    _, bb, _, rssb, _, _, _, _ = regression_fit(xb, yb, degree, intercept)
    binary = min([lre(bb[i], b[i]) for i in range(p)] + ([lre(rssb, rss)] if rss != 0 else []))
    terms = " ".join("*".join(["x"] * pw) for pw in range(1, degree + 1))
    command = "QUORVEST y WITH x\n"
    if degree > 1:
        command += "  /DESIGN=%s\n" % terms
    if not intercept:
        command += "  /INTERCEPT=EXCLUDE\n"
    if eps:
        command += "  /CRITERIA=EPS(%s)\n" % eps
    command += "  /PRINT=PARAMETER."
    model = "y on %s%s" % (", ".join(power_label(pw) for pw in range(1, degree + 1)),
                           "" if intercept else " without intercept")
    notes = ("NIST StRD %s (linear regression, %d observations): %s, data as NIST prints them. Exact "
             "least-squares answer for the decimal text in rational arithmetic "
             "(test/reference/hard_cases.py); NIST's certified values (%s) agree with it to %.1f digits "
             "or more. The exact answer for the nearest doubles of the data agrees with it to %s digits."
             % (setname, n, model, "estimates, standard deviations, residual SD" +
                (", R squared, regression and residual SS, F" if "r2" in cert else ""), agree,
                "all 17" if binary >= 17 else "%.1f" % binary))
    if eps:
        notes += (" At the default EPS (1E-8) the fit judges x^6, x^8 and x^10 near-aliased, warns "
                  "and sets them to 0. A Type III test sweeps its power after all the others, where "
                  "the pivot of x^3 ... x^9 is between 1.8e-18 and 8.4e-17 of its sum of squares "
                  "about the mean (exact values), so EPS(%s) is needed to keep every column in "
                  "every test." % eps)
    if exact_fit:
        notes += (" The data lie exactly on the polynomial (residual SS 0); the Error SS and the "
                  "standard errors are held to what residuals of 1e-9 of the data's spread imply "
                  "(RSS up to 1e-18 of the corrected total SS).")
    name = "nist_" + setname.lower()
    write_nist_case(name, "NIST StRD %s: %s" % (setname, model), ["x", "y"],
                    [[xv, yv] for xv, yv in zip(xtext, ytext)], command,
                    {"Tests of Between-Subjects Effects": tests, "Parameter Estimates": params},
                    {"R Squared": num(r2)}, notes, 1e-9, overrides)
    return name, agree, binary


def filip_default_eps(d):
    """Filip at the default EPS (1E-8). Fitting the powers in order, the pivot of each against its
    sum of squares about the mean (exact values) is 1, 1.7e-2, 3.6e-4, 9.4e-6, 2.3e-7, then 6.6e-9
    for x^6 (dropped), 1.5e-7 for x^7, 1.3e-9 for x^8 (dropped), 2.3e-8 for x^9 and 1.4e-10 for
    x^10 (dropped): three near-aliased warnings, and the fit of the other eight columns. Every kept
    power's Type III row is its drop test in that model, with 1 df."""
    xs = [F(v) for v in d.FILIP_X]
    ys = [F(v) for v in d.FILIP_Y]
    n = len(ys)
    kept = [0, 1, 2, 3, 4, 5, 7, 9]
    dropped = [6, 8, 10]
    cols = [[x ** k for x in xs] for k in range(11)]
    # The exact pivots behind the drops, recomputed: each decision is a factor 1.5 or more from 1e-8.
    basis = [0]
    for k in range(1, 11):
        m = sum(cols[k]) / n
        scale = sum((c - m) ** 2 for c in cols[k])
        a = [[sum(p * q for p, q in zip(cols[i], cols[j])) for j in basis] for i in basis]
        r = [sum(p * q for p, q in zip(cols[i], cols[k])) for i in basis]
        bb = solve(a, r)
        ratio = (sum(c * c for c in cols[k]) - sum(u * v for u, v in zip(bb, r))) / scale
        assert (ratio > F(1, 10 ** 8)) == (k in kept), k
        assert ratio > F(15, 10 ** 9) or ratio < F(7, 10 ** 9), k
        if k in kept:
            basis.append(k)
    full = [(("Intercept" if k == 0 else power_label(k)), cols[k]) for k in kept]
    effects = [(lab, [lab]) for lab, _ in full]
    labels = ["Intercept"] + [power_label(k) for k in range(1, 11)]
    redundant = {power_label(k) for k in dropped}
    tables, foot = fit_tables(ys, full, effects, labels, redundant)
    tb = tables["Tests of Between-Subjects Effects"]
    for k in dropped:
        tb[power_label(k)] = {"df": 0}
    name = "nist_filip_default_eps"
    notes = ("NIST StRD Filip at the default EPS (1E-8): fitting the powers of x in order, x^6, x^8 "
             "and x^10 have pivots of 6.6e-9, 1.3e-9 and 1.4e-10 of their sums of squares about the "
             "mean (exact values; the nearest kept one, x^9, has 2.3e-8), so each is set to 0 with "
             "the near-aliased warning. Truths: the exact least-squares fit of the other eight "
             "columns for the decimal text (test/reference/hard_cases.py); each kept power's Type III "
             "row is its drop test in that model (1 df), each dropped power's row has 0 df.")
    out = os.path.join(HERE, name)
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "data.csv"), "w") as f:
        f.write("x,y\n")
        for xv, yv in zip(d.FILIP_X, d.FILIP_Y):
            f.write("%s,%s\n" % (xv, yv))
    with open(os.path.join(out, "command.qv"), "w") as f:
        f.write("QUORVEST y WITH x\n  /DESIGN=%s\n  /PRINT=PARAMETER.\n"
                % " ".join("*".join(["x"] * k) for k in range(1, 11)))
    msg = {"severity": "warning", "key": "Near-aliased parameter ^1 ..."}
    exp = {"case": name, "description": "NIST StRD Filip, degree 10, default EPS: three powers near-aliased",
           "tolerance": 1e-9, "abs_tolerance": 0.0, "notes": notes, "tables": tables, "footnotes": foot,
           "messages": [msg, msg, msg]}
    with open(os.path.join(out, "expected.json"), "w") as f:
        json.dump(exp, f, indent=1)
        f.write("\n")


def nist_cases():
    import nist_strd_data as d
    out = []
    out.append(nist_anova("SiRstv", d.SIRSTV, d.SIRSTV_CERT))
    out.append(nist_anova("AtmWtAg", d.ATMWTAG, d.ATMWTAG_CERT))
    for setname, lead, reps in d.SMLS_SETS:
        out.append(nist_anova(setname, d.smls(lead, reps), d.SMLS_CERT[reps]))
    out.append(nist_regression("Norris", d.NORRIS_X, d.NORRIS_Y, 1, True, d.NORRIS_CERT))
    out.append(nist_regression("Pontius", d.PONTIUS_X, d.PONTIUS_Y, 2, True, d.PONTIUS_CERT))
    out.append(nist_regression("NoInt1", d.NOINT1_X, d.NOINT1_Y, 1, False, d.NOINT1_CERT))
    out.append(nist_regression("NoInt2", d.NOINT2_X, d.NOINT2_Y, 1, False, d.NOINT2_CERT))
    # Wampler1 and Wampler2 are defined exactly by their polynomials; check the printed data.
    xw = [F(v) for v in d.WAMPLER_X]
    assert [F(v) for v in d.WAMPLER1_Y] == [sum(x ** k for k in range(6)) for x in xw]
    assert [F(v) for v in d.WAMPLER2_Y] == [sum(F(1, 10 ** k) * x ** k for k in range(6)) for x in xw]
    out.append(nist_regression("Wampler1", d.WAMPLER_X, d.WAMPLER1_Y, 5, True, d.WAMPLER1_CERT, exact_fit=True))
    out.append(nist_regression("Wampler2", d.WAMPLER_X, d.WAMPLER2_Y, 5, True, d.WAMPLER2_CERT, exact_fit=True))
    for i, (ys, cert) in enumerate(((d.WAMPLER3_Y, d.WAMPLER3_CERT), (d.WAMPLER4_Y, d.WAMPLER4_CERT),
                                    (d.WAMPLER5_Y, d.WAMPLER5_CERT)), start=3):
        out.append(nist_regression("Wampler%d" % i, d.WAMPLER_X, ys, 5, True, cert))
    # Filip: degree 10. NIST certifies the estimates, their standard deviations and the residual SD.
    out.append(nist_regression("Filip", d.FILIP_X, d.FILIP_Y, 10, True, d.FILIP_CERT, eps="1E-20"))
    filip_default_eps(d)
    for name, agree, binary in out:
        print("%-16s certified agree %5.1f digits; nearest doubles %5.1f digits" % (name, agree, binary))


if __name__ == "__main__":
    import sys
    sys.path.insert(0, HERE)
    nist_cases()
