#!/usr/bin/env python3
"""Writes large CP932 inputs for the benchmarks: a working folder with N quote lines over
ISSUES watched issues (default 2,000; kabu.txt etc.), from a fixed seed.
Usage: make-large.py DIR [LINES] [ISSUES]"""
import os, random, sys
# An option is no folder: "make-large.py --help" once wrote 10 M lines into ./--help.
if len(sys.argv) < 2 or sys.argv[1].startswith("-"):
    print(__doc__)
    sys.exit(0 if len(sys.argv) > 1 and sys.argv[1] in ("-h", "--help") else 2)
out = sys.argv[1]
n = int(sys.argv[2]) if len(sys.argv) > 2 else 10_000_000
rng = random.Random(1)
os.makedirs(os.path.join(out, "log"), exist_ok=True)
issues = int(sys.argv[3]) if len(sys.argv) > 3 else 2000
step = 4 if issues <= 2000 else 2  # four-digit codes: up to 4,350 issues
codes = [str(1300 + i * step) for i in range(issues)]
def w(name, lines):
    with open(os.path.join(out, name), "wb") as f:
        f.write("".join(l + "\r\n" for l in lines).encode("cp932"))
w("銘柄情報.txt", [f"{c},銘柄{c},100,,信用,貸借,東証" for c in codes])
w("株式売買値幅.txt", ["0,100,30,0", "100,200,50,0", "200,500,80,0", "500,700,100,0", "700,1000,150,0", "1000,1500,300,0", "1500,2000,400,0", "2000,3000,500,0", "3000,5000,700,0", "5000,7000,1000,0", "7000,10000,1500,0"])
w("監視銘柄.txt", [c + ".T" for c in codes])
price = {c: rng.randrange(90, 9000) for c in codes}
w("std.csv", [f"{c},貸借,{price[c]},{price[c]},0,1.5,{price[c] * 2}" for c in codes])
with open(os.path.join(out, "kabu.txt"), "wb") as f:
    buf = []
    for i in range(n):
        t = 9 * 3600 + i * (6 * 3600) // n
        c = codes[rng.randrange(len(codes))]
        p = price[c] = max(1, price[c] + rng.choice((-2, -1, 0, 0, 1, 2)) * max(1, price[c] // 500))
        buf.append(f"{t // 3600:02d}:{t // 60 % 60:02d}:{t % 60:02d},{c},{p},{i}\r\n")
        if len(buf) == 100000:
            f.write("".join(buf).encode("cp932")); buf = []
    f.write("".join(buf).encode("cp932"))
