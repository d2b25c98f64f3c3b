#!/usr/bin/env python3
"""Writes the demo working folder (examples/demo) as Shift-JIS files, from a fixed seed.

A master list of 300 invented issues, the exchange's daily price-limit bands, a watch list of
50 topics, their reference figures (std.csv) and a whole recorded session (kabu.txt) with
sharp rises and falls early on, so the demo shows them in its first minute.
"""
import os
import random
import sys

SEED = 20261207
out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "examples", "demo")
rng = random.Random(SEED)
os.makedirs(os.path.join(out, "log"), exist_ok=True)


def write(name, lines):
    with open(os.path.join(out, name), "wb") as f:
        f.write("".join(l + "\r\n" for l in lines).encode("cp932"))


heads = ["日本", "東洋", "大和", "北斗", "三栄", "関東", "中央", "昭和", "富士", "平和", "太陽", "共栄"]
tails = ["製作所", "工業", "電機", "化学", "商事", "精機", "物産", "建設", "薬品", "食品", "通信", "ホールディングス"]
markets = ["東証", "大証", "JASDAQ", "HC", "名証", "福証"]
issues = []
codes = rng.sample(range(1300, 9999), 300)
for i, code in enumerate(sorted(codes)):
    name = heads[i % len(heads)] + tails[(i * 7) % len(tails)] + ("" if i < 144 else str(i))
    if i % 37 == 5:
        name = "ケストレル ソフト"  # a name with a blank, quoted in the file
    m1 = markets[0] if i % 5 else markets[rng.randrange(1, 6)]
    margin = ["信用", "貸借", "無期限信用"][i % 3]
    issues.append((str(code), name, m1, margin))
write("銘柄情報.txt", [
    f'{c},"{n}",{100 * (1 + i % 10)},{"無期限信用" if mg == "無期限信用" else ""},信用,{"貸借" if mg == "貸借" else ""},{m}'
    for i, (c, n, m, mg) in enumerate(issues)])

bands = [(0, 100, 30), (100, 200, 50), (200, 500, 80), (500, 700, 100), (700, 1000, 150),
         (1000, 1500, 300), (1500, 2000, 400), (2000, 3000, 500), (3000, 5000, 700),
         (5000, 7000, 1000), (7000, 10000, 1500), (10000, 15000, 3000), (15000, 20000, 4000),
         (20000, 30000, 5000), (30000, 50000, 7000), (50000, 70000, 10000), (70000, 100000, 15000),
         (100000, 150000, 30000), (150000, 200000, 40000), (200000, 300000, 50000),
         (300000, 500000, 70000), (500000, 700000, 100000), (700000, 1000000, 150000),
         (1000000, 1500000, 300000), (1500000, 2000000, 400000), (2000000, 3000000, 500000),
         (3000000, 5000000, 700000), (5000000, 7000000, 1000000), (7000000, 10000000, 1500000),
         (10000000, 15000000, 3000000), (15000000, 20000000, 4000000),
         (20000000, 30000000, 5000000), (30000000, 50000000, 7000000)]
write("株式売買値幅.txt", [f"{lo},{hi},{w},0" for lo, hi, w in bands])

suffix = {"東証": ".T", "大証": ".OS", "JASDAQ": ".Q", "HC": ".OJ", "名証": "", "福証": ""}
watched = rng.sample(issues, 50)
write("監視銘柄.txt", [c + suffix[m] for c, n, m, mg in watched])

prices = {}
std = []
for c, n, m, mg in watched:
    prev = rng.choice([85, 96, 180, 450, 820, 1250, 2300, 3900, 5600, 12000]) + rng.randrange(0, 40)
    open_ = prev + rng.randrange(-prev // 50 - 1, prev // 50 + 2)
    prices[c] = [prev, open_, open_]
    std.append(f"{c},{'貸借' if mg == '貸借' else '信用'},{prev},{open_},0,{rng.randrange(5, 400) / 100},{prev + prev // 5}")
write("std.csv", std)

# A whole session, 09:00 to 15:00 with the midday break, every issue ticking every 20-60 s.
# A few issues are pushed up or down sharply in the first minutes.
lines = []
sharp = {c: (1 if k % 2 == 0 else -1) for k, (c, *_rest) in enumerate(watched[:8])}
volumes = {c: 0 for c, *_ in watched}
events = []
for c, *_ in watched:
    t = 9 * 3600 + rng.randrange(0, 40)
    while t < 15 * 3600:
        if 11 * 3600 + 30 * 60 <= t < 12 * 3600 + 30 * 60:
            t = 12 * 3600 + 30 * 60 + rng.randrange(0, 30)
            continue
        events.append((t, c))
        t += rng.randrange(20, 61)
events.sort()
for t, c in events:
    prev, open_, p = prices[c]
    step = max(1, p // 400)
    if c in sharp and 9 * 3600 + 60 <= t < 9 * 3600 + 240:
        p += sharp[c] * step * rng.randrange(4, 9)  # a sharp move within two minutes
    else:
        p += step * rng.choice([-1, 0, 0, 1])
    p = max(1, p)
    prices[c][2] = p
    volumes[c] += rng.randrange(1, 50) * 100
    lines.append(f"{t // 3600:02d}:{t // 60 % 60:02d}:{t % 60:02d},{c},{p},{volumes[c]}")
write("kabu.txt", lines)

with open(os.path.join(out, "KESTREL.INI"), "wb") as f:
    f.write(b"[DEBUG]\r\nflg=1\r\n\r\n[PARA]\r\nrate=2.0\r\ntime=2\r\nDataSource=DDE\r\n")
open(os.path.join(out, "log", ".keep"), "w").close()
print(f"demo: {len(issues)} issues, {len(watched)} watched, {len(lines)} quote lines in {out}")
