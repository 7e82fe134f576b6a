#!/usr/bin/env python3
"""Writes standins/hwdev/sample-terminals.json: a small site for trying a host
against the simulator. Deterministic, so the committed file can be regenerated
byte for byte. The layout is the one the simulator writes when it saves."""
import base64
import datetime
import json
import os

SEED = 20261130


class Lcg:
    def __init__(self, seed):
        self.x = seed

    def next(self):
        self.x = (self.x * 1103515245 + 12345) % 2**31
        return self.x >> 8

    def between(self, low, high):
        return low + self.next() % (high - low + 1)


TERMINALS = [
    {"ip": "192.168.1.201", "number": 1, "staff": [
        ("1001", "Front desk"), ("1002", "Warehouse"), ("1003", "Warehouse"),
        ("1004", "Accounts"), ("1005", "Accounts"), ("1006", "Workshop")]},
    {"ip": "192.168.1.202", "number": 1, "staff": [
        ("1007", "Workshop"), ("1008", "Workshop"), ("1009", "Dispatch"), ("1010", "Dispatch")]},
    {"port": 3, "number": 1, "staff": [("1011", "Night guard"), ("1012", "Cleaning")]},
]

WEEK = [datetime.date(2026, 11, 30) + datetime.timedelta(days=d) for d in range(5)]


def compact(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def stamp(day, minutes, seconds):
    return (datetime.datetime(day.year, day.month, day.day) +
            datetime.timedelta(minutes=minutes, seconds=seconds)).strftime("%Y-%m-%d %H:%M:%S")


def items(values):
    return "".join((",\n    " if k else "\n    ") + compact(v) for k, v in enumerate(values))


def main():
    rng = Lcg(SEED)
    out = '{"absent_ms":0,\n "terminals":['
    for ti, t in enumerate(TERMINALS):
        employees, punches = [], []
        for number, text in t["staff"]:
            template = bytes(rng.next() & 0xFF for _ in range(rng.between(300, 1100)))
            employees.append({"number": number, "text": text, "flag": 1,
                              "template": base64.b64encode(template).decode("ascii")})
            for day in WEEK:
                # in, out for lunch, back, out in the evening; now and then no lunch break
                times = [rng.between(8 * 60 + 40, 9 * 60 + 10)]
                if rng.between(0, 3):
                    times += [rng.between(12 * 60, 12 * 60 + 15), rng.between(12 * 60 + 45, 13 * 60 + 5)]
                times.append(rng.between(17 * 60 + 25, 18 * 60 + 15))
                punches += [(stamp(day, m, rng.between(0, 59)), number) for m in times]
        punches.sort()
        head = {k: t[k] for k in ("ip", "port") if k in t}
        head.update({"number": t["number"], "latency_ms": 0})
        out += (",\n  " if ti else "\n  ") + compact(head)[:-1] + ',\n   "employees":['
        out += items(employees) + '],\n   "punches":['
        out += items({"card": c, "time": s} for s, c in punches) + "]}"
    out += "]}\n"
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "standins", "hwdev",
                        "sample-terminals.json")
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write(out)


if __name__ == "__main__":
    main()
