#!/usr/bin/env python3
"""Regenerates the hard numerical reference cases (acc_*): data with large constant offsets,
near-collinear regressors and ill-conditioned polynomials, with every expected number computed
in exact rational arithmetic (fractions.Fraction) from the data as written.

Every value written to data.csv is a binary fraction that a double holds exactly, so the exact
answer for the text is also the exact answer for the doubles a reader gets: a correct program is
held to 1e-9 relative. Run from anywhere: python3 test/reference/hard_cases.py
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


if __name__ == "__main__":
    ax_only()
    ancova("acc_ancova_off9", 10 ** 9, False)
    ancova("acc_ancova_off9_type1", 10 ** 9, False, sstype=1)
    ancova("acc_axax_off6", 10 ** 6, True)
    ancova("acc_axax_off9", 10 ** 9, True)
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
