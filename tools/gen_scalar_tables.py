#!/usr/bin/env python3
"""Writes the differential tables of date! and money!: Qel test scripts whose
expectations come from Python's datetime and decimal modules, not from Qel.

    python3 tools/gen_scalar_tables.py      # rewrites tests/qel/*_table.qel

The random cases are drawn from a fixed seed, so the output only changes when
this script does. Dates carry their own zones, so the date table gives the
same answers under every local time zone (ctest runs it under several).
"""
import datetime as dt
import decimal
import os
import random

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]
EPOCH = dt.datetime(1970, 1, 1, tzinfo=dt.timezone.utc)

# ---- dates ------------------------------------------------------------------------


def zone_text(minutes):
    if minutes == 0:
        return ""
    sign = "-" if minutes < 0 else "+"
    m = abs(minutes)
    return "%s%02d:%02d" % (sign, m // 60, m % 60)


def time_text(seconds):
    """A time! as Qel molds it (whole seconds only)."""
    sign = "-" if seconds < 0 else ""
    s = abs(seconds)
    return "%s%d:%02d:%02d" % (sign, s // 3600, s % 3600 // 60, s % 60)


def date_text(local, zone_minutes, with_time=True):
    """A date as Qel molds it: local date, local time, zone."""
    text = "%d-%s-%04d" % (local.day, MONTHS[local.month - 1], local.year)
    if with_time:
        secs = local.hour * 3600 + local.minute * 60 + local.second
        text += "/" + time_text(secs) + zone_text(zone_minutes)
    return text


def random_zone(rng):
    return rng.choice([0, 0] + [q * 15 for q in range(-63, 64)])


def random_date(rng):
    local = dt.datetime(rng.randint(1600, 2400), rng.randint(1, 12), 1) + dt.timedelta(
        days=rng.randint(0, 30), seconds=rng.randint(0, 86399))
    zone = random_zone(rng)
    return local.replace(tzinfo=dt.timezone(dt.timedelta(minutes=zone))), zone


def naive(d):
    return d.replace(tzinfo=None)


def date_cases(rng, count):
    lines = []
    for _ in range(count):
        d, z = random_date(rng)
        e, ze = random_date(rng)
        n = rng.randint(-50000, 50000)
        delta = rng.randint(-400000, 400000)
        z2 = random_zone(rng)
        iso = d.isocalendar()
        got = [str(d.isoweekday()), str(d.timetuple().tm_yday), str(iso[1])]
        epoch = int((d - EPOCH).total_seconds())
        got.append(str(epoch) if -2**31 <= epoch < 2**31 else "none")
        got.append(date_text(naive(d) + dt.timedelta(days=n), z))
        got.append(date_text(naive(d) + dt.timedelta(seconds=delta), z))
        # date - date: the days between the local dates plus the carry of
        # the difference of the UTC times of day, seen from the left zone.
        day_left = (naive(d).date() - dt.date(1, 1, 1)).days
        day_right = (naive(e).date() - dt.date(1, 1, 1)).days
        midnight = dt.time()
        t = ((naive(d) - dt.timedelta(minutes=z) - dt.datetime.combine(naive(d).date(), midnight))
             - (naive(e) - dt.timedelta(minutes=ze)
                - dt.datetime.combine(naive(e).date(), midnight))).total_seconds()
        got.append(str(day_left - day_right + int((t + z * 60) // 86400)))
        got.append(time_text(int((d - e).total_seconds())))
        moved = d.astimezone(dt.timezone(dt.timedelta(minutes=z2)))
        got.append(date_text(naive(moved), z2))
        got.append("true" if d < e else "false")
        got.append("true" if d == e else "false")
        code = "d: %s e: %s z: %s\nreduce [d/weekday d/yearday d/isoweek (i: try [to integer! d] if integer! = type? i [i]) " \
               "d + %d d + %s d - e difference d e (d/timezone: z d) d < e d = e]" % (
                   date_text(naive(d), z), date_text(naive(e), ze), time_text(z2 * 60),
                   n, time_text(delta))
        lines.append(code)
        lines.append("; expect: [%s]" % " ".join(got))
    return lines


# ---- money ------------------------------------------------------------------------

D = decimal.Decimal
UNIT = D("0.00001")
LIMIT = D(10) ** 17


def money_text(x):
    """mold/all of a money amount."""
    sign = "-" if x < 0 else ""
    q = abs(x).quantize(UNIT)
    whole, frac = divmod(q, 1)
    return '"%s$%d.%05d"' % (sign, whole, int(frac * 100000))


def random_amount(rng):
    digits = rng.choice([1, 2, 3, 5, 8, 12, 15, 17])
    whole = rng.randint(0, 10 ** digits - 1)
    frac = rng.choice([0, rng.randint(0, 99999), rng.randint(0, 99) * 1000])
    x = D(whole) + D(frac) / 100000
    return -x if rng.random() < 0.3 else x


def literal(x):
    return ("-" if x < 0 else "") + "$" + str(abs(x).quantize(UNIT))


def float_text(x):
    """A float literal of a short decimal (always with a point)."""
    text = repr(float(x))
    assert D(text) == x, (text, x)
    return text if "e" not in text else format(x, "f")


def significant(x):
    n = int(abs(x) * 100000)
    return len(str(n)) if n else 0


def trunc5(x):
    return x.quantize(UNIT, rounding=decimal.ROUND_DOWN)


def money_op(a, b, op):
    """The expected mold/all text, or an error id."""
    if op == "+":
        r = a + b
    elif op == "-":
        r = a - b
    elif op == "*":
        if a and b and significant(a) + significant(b) > 28:
            return "type-limit"
        r = trunc5(a * b)
    elif op == "/":
        if b == 0:
            return "zero-divide"
        r = trunc5(a / b)
    else:
        if b == 0:
            return "zero-divide"
        r = abs(a) % abs(b)
        r = -r if a < 0 else r
    if abs(r) >= LIMIT:
        return "type-limit"
    return money_text(r)


ROUNDS = [
    ("", decimal.ROUND_HALF_UP), ("/even", decimal.ROUND_HALF_EVEN),
    ("/down", decimal.ROUND_DOWN), ("/half-down", decimal.ROUND_HALF_DOWN),
    ("/floor", decimal.ROUND_FLOOR), ("/ceiling", decimal.ROUND_CEILING),
]


def money_cases(rng, count):
    decimal.getcontext().prec = 80
    lines = []
    ops = [("+", "+"), ("-", "-"), ("*", "*"), ("/", "/"), ("//", "remainder")]
    for _ in range(count):
        a, b = random_amount(rng), random_amount(rng)
        if rng.random() < 0.5:
            b = D(rng.randint(-999, 999)) / rng.choice([1, 10, 100, 1000])
            b = b.quantize(UNIT)
        # A float factor or divisor (money times money is refused): a short
        # decimal that a double holds exactly in its shortest text.
        f = D(rng.randint(-99999999, 99999999)) / D(10) ** rng.randint(0, 5)
        ok_code, ok_want = [], []
        for name, word in ops:
            right = f if name in ("*", "/") else b
            right_text = float_text(f) if name in ("*", "/") else literal(b)
            want = money_op(a, right, name)
            expr = ("%s %s %s" % (literal(a), name, right_text) if name != "//"
                    else "remainder %s %s" % (literal(a), right_text))
            if want.startswith('"'):
                ok_code.append("mold/all %s" % expr)
                ok_want.append(want)
            else:
                lines.append(expr)
                category = "math" if want == "zero-divide" else "script"
                lines.append("; expect error: %s %s" % (category, want))
        scale = rng.choice([D("0.01"), D(1), D(10), D("0.5")])
        for ref, mode in ROUNDS:
            if scale == D("0.5") and ref in ("/even", "/half-down"):
                continue  # the half of a 0.5 grid is not a decimal tie here
            q = (a / scale).quantize(D(1), rounding=mode) * scale
            if abs(q) < LIMIT:
                ok_code.append("mold/all round/to%s %s %s" % (ref, literal(a), literal(scale)))
                ok_want.append(money_text(q))
        g = rng.choice([0.1, 0.25, 1e-5, 123.456, 99999.99999, -2.5, 1.5e16, 0.3])
        text = repr(g) if "e" not in repr(g) else format(D(repr(g)), "f")
        dec = D(text)
        if dec == dec.quantize(UNIT) and abs(dec) < LIMIT:
            ok_code.append("mold/all to money! %s" % text)
            ok_want.append(money_text(dec))
        cmp = "true" if a < b else "false"
        ok_code.append("%s < %s" % (literal(a), literal(b)))
        ok_want.append(cmp)
        lines.append("reduce [%s]" % "  ".join(ok_code))
        lines.append("; expect: [%s]" % " ".join(ok_want))
    return lines


def write(name, header, lines):
    path = os.path.join(ROOT, "tests", "qel", name)
    with open(path, "w") as f:
        f.write(header)
        f.write("\n".join(lines) + "\n")


def main():
    rng = random.Random(20261209)
    write("date_table.qel",
          "; Generated by tools/gen_scalar_tables.py from Python's datetime: do not edit.\n"
          "; Fields, day arithmetic, time arithmetic, date - date, difference, zone\n"
          "; moves and ordering of random dates in random zones.\n"
          "; one runtime: independent cases; a process each would cost far more than they do\n",
          date_cases(rng, 2000))
    write("money_table.qel",
          "; Generated by tools/gen_scalar_tables.py from Python's decimal: do not edit.\n"
          "; Add, subtract, multiply, divide and remainder with the overflow rules,\n"
          "; rounding modes, float conversion and ordering of random amounts.\n"
          "; one runtime: independent cases; a process each would cost far more than they do\n",
          money_cases(rng, 1000))


if __name__ == "__main__":
    main()
