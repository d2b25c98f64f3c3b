#!/usr/bin/env python3
"""Writes a messy working folder for the byte-identity check of the backtest: quote lines with
times that do not read, go back or jump, codes not watched or empty, prices and volumes that do
not read, overflow or go down, blank lines, LF and CR LF mixed, and a watch list with
duplicates, from a fixed seed. Usage: make-messy.py DIR [LINES]"""
import os, random, sys
out = sys.argv[1]
n = int(sys.argv[2]) if len(sys.argv) > 2 else 200_000
rng = random.Random(7)
os.makedirs(os.path.join(out, "log"), exist_ok=True)
codes = [str(1300 + i * 7) for i in range(300)]
def w(name, lines, end="\r\n"):
    with open(os.path.join(out, name), "wb") as f:
        f.write("".join(l + end for l in lines).encode("cp932"))
w("銘柄情報.txt", [f"{c},銘柄{c}" for c in codes[::2]])
w("株式売買値幅.txt", ["0,100,30", "100,500,80", "500,1000,150", "1000,5000,700", "5000,100000,1500"])
w("監視銘柄.txt", [c + ".T" for c in codes] + [codes[3] + ".OS", codes[5] + ".T", "99999.T"])
price = {c: rng.randrange(1, 6000) for c in codes}
w("std.csv", [f"{c},貸借,{price[c]},{price[c] + rng.randrange(-9, 9)},0,{rng.random() * 3:.2f},{price[c] * 2}"
              for c in codes[: 250]])
lines = []
t = 9 * 3600 - 30
vol = {c: 0 for c in codes}
for i in range(n):
    t += rng.choice((0, 0, 1, 1, 2, 30, -3)) if i % 5000 else rng.choice((600, -1200, 3600))
    t = max(0, min(t, 24 * 3600 - 1))
    c = rng.choice(codes)
    step = rng.choice((-3, -1, 0, 1, 3, 40, -40)) * max(1, price[c] // 300)
    price[c] = max(1, price[c] + step)
    vol[c] += rng.randrange(0, 5000)
    r = rng.random()
    if r < 0.002:
        tt = rng.choice(("", "9:0", "25:00", "ab:cd", "09:60:00", "  :  "))
    elif r < 0.5:
        tt = f"{t // 3600:02d}:{t // 60 % 60:02d}:{t % 60:02d}"
    else:
        tt = f"{t // 3600:02d}:{t // 60 % 60:02d}"
    cc = c if rng.random() > 0.01 else rng.choice(("", "0000", "12345", "ｱｲｳ"))
    p = str(price[c]) if rng.random() > 0.003 else rng.choice(("", "x", "-5", "2147483648"))
    v = str(vol[c]) if rng.random() > 0.003 else rng.choice(("", "-2147483648", "99999999999"))
    line = f"{tt},{cc},{p},{v}"
    if rng.random() < 0.001:
        line = rng.choice(("", ",", tt, f"{tt},{cc}", f'"{tt}","{cc}",{p},{v},extra'))
    lines.append(line + rng.choice(("\r\n", "\r\n", "\n")))
with open(os.path.join(out, "kabu.txt"), "wb") as f:
    f.write("".join(lines).encode("cp932"))
