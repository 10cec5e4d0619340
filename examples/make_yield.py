#!/usr/bin/env python3
"""Writes examples/yield.csv: a made-up fertiliser x irrigation field trial.

Three fertiliser rates (1 none, 2 low, 3 high) by two water regimes (1 rain-fed, 2 irrigated),
six plots per combination, with the soil nitrate measured before sowing as a covariate. Yields
are drawn from a model with main effects, a small interaction and a nitrate slope, with a fixed
seed so that the file is the same on every run. One plot was lost to hail (yield missing).
"""
import random

rng = random.Random(20240611)
fert_effect = {1: 0.0, 2: 0.9, 3: 1.6}
irrig_effect = {1: 0.0, 2: 1.1}
interaction = {(3, 2): 0.5}
rows = []
plot = 0
for rep in range(6):
    for fert in (1, 2, 3):
        for irrig in (1, 2):
            plot += 1
            nitrogen = round(rng.gauss(24.0, 5.0), 1)
            y = (4.2 + fert_effect[fert] + irrig_effect[irrig] + interaction.get((fert, irrig), 0.0)
                 + 0.045 * (nitrogen - 24.0) + rng.gauss(0.0, 0.35))
            rows.append((plot, fert, irrig, nitrogen, f"{y:.2f}"))
with open("yield.csv", "w", newline="\n") as f:
    f.write("plot,fert,irrig,nitrogen,yield\n")
    for plot, fert, irrig, nitrogen, y in rows:
        if plot == 17:
            y = ""  # lost to hail
        f.write(f"{plot},{fert},{irrig},{nitrogen},{y}\n")
