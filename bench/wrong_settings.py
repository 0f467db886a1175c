#!/usr/bin/env python3
"""What wrong line settings make of a program, bit by bit.

A control sends the sample program (ISO as 7 data bits with even parity, EIA
as its 8-bit codes with odd parity, one stop bit) at one baud rate; the
receiver samples the line as a UART does (the middle of each bit, a new
character at the next falling edge after the stop bit) with other settings.
For each pair it counts what the receiver gets: characters, framing and parity
errors, bytes that cannot be in a program (the same rule as the reception's
wait), and how many characters arrive before the fourth odd one, which is when
the receiver's hint appears, and the share of odd bytes by their value alone
(all a receiver has where the system does not say which bytes were hit).
Correct settings must give no odd byte at all.

Usage: bench/wrong_settings.py [program]
"""

import sys

EIA = {0x00: 0x00, 0x20: ord("0"), 0x01: ord("1"), 0x02: ord("2"), 0x13: ord("3"),
       0x04: ord("4"), 0x15: ord("5"), 0x16: ord("6"), 0x07: ord("7"), 0x08: ord("8"),
       0x19: ord("9"), 0x61: ord("A"), 0x62: ord("B"), 0x73: ord("C"), 0x64: ord("D"),
       0x75: ord("E"), 0x76: ord("F"), 0x67: ord("G"), 0x68: ord("H"), 0x79: ord("I"),
       0x51: ord("J"), 0x52: ord("K"), 0x43: ord("L"), 0x54: ord("M"), 0x45: ord("N"),
       0x46: ord("O"), 0x57: ord("P"), 0x58: ord("Q"), 0x49: ord("R"), 0x32: ord("S"),
       0x23: ord("T"), 0x34: ord("U"), 0x25: ord("V"), 0x26: ord("W"), 0x37: ord("X"),
       0x38: ord("Y"), 0x29: ord("Z"), 0x70: ord("+"), 0x40: ord("-"), 0x6B: ord("."),
       0x3B: ord(","), 0x31: ord("/"), 0x0B: ord("%"), 0x0E: ord("&"), 0x1A: ord("("),
       0x4A: ord(")"), 0x10: 0x20, 0x3E: 0x09, 0x2A: 0x08, 0x80: 0x0A, 0x11: 0x11,
       0x12: 0x12, 0x14: 0x14, 0x93: 0x13}
ISO_TO_EIA = {v: k for k, v in EIA.items()}

# The reception's rule (core/reception.cpp PossibleInProgram).
def possible(b, eia):
    if eia:
        return b == 0x10 or b in EIA
    if b >= 0x20:
        return b < 0x7F
    return b in (0, 9, 10, 13) or 0x11 <= b <= 0x14


def frames(data, bits, parity):
    """The line levels of each character: start, data (LSB first), parity, stop."""
    for c in data:
        d = [(c >> i) & 1 for i in range(bits)]
        p = sum(d) & 1
        p = p if parity == "E" else p ^ 1
        yield [0] + d + [p] + [1]


def line(data, bits, parity, baud, gap_bits):
    """(time, level) steps of the whole transmission, time in seconds."""
    t = 0.0
    steps = [(0.0, 1)]
    bit = 1.0 / baud
    for f in frames(data, bits, parity):
        for level in f:
            steps.append((t, level))
            t += bit
        steps.append((t, 1))
        t += gap_bits * bit
    return steps, t + 20 * bit


def receive(steps, end, bits, parity, baud):
    """What a UART at these settings makes of the line: (byte, error) pairs."""
    import bisect
    times = [s[0] for s in steps]

    def level(t):
        return steps[bisect.bisect_right(times, t) - 1][1]
    bit = 1.0 / baud
    out = []
    t = 0.0
    # Falling edges in time order.
    edges = [s[0] for i, s in enumerate(steps[1:], 1)
             if s[1] == 0 and steps[i - 1][1] == 1]
    k = 0
    while k < len(edges):
        t0 = edges[k]
        if t0 < t:
            k += 1
            continue
        if level(t0 + bit / 2) != 0:  # a glitch, no start bit
            t = t0 + bit / 4
            k += 1
            continue
        d = [level(t0 + (1.5 + i) * bit) for i in range(bits)]
        p = level(t0 + (1.5 + bits) * bit)
        stop = level(t0 + (2.5 + bits) * bit)
        value = sum(v << i for i, v in enumerate(d))
        want = sum(d) & 1
        want = want if parity == "E" else want ^ 1
        err = None
        if stop == 0:
            err = "break" if value == 0 and p == 0 else "framing"
        elif p != want:
            err = "parity"
        out.append((value, err))
        t = t0 + (2.5 + bits) * bit  # hunts for the next start from the stop bit's middle
        if t > end:
            break
    return out


SETTINGS = {"ISO": (7, "E"), "EIA": (8, "O")}


def encode(program, code):
    if code == "ISO":
        return program
    return bytes(ISO_TO_EIA.get(c, 0x10) for c in program if c != 0x0D)


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else "tools/sample/demo.nc"
    program = open(path, "rb").read()[:3000]
    print("%-28s %6s %6s %6s %6s %6s %8s %7s %s" % (
        "sender -> receiver", "chars", "frame", "parity", "cannot", "odd %", "4th odd",
        "bytes %", "start markers in it"))
    cases = []
    for sc in ("ISO", "EIA"):
        for rc in ("ISO", "EIA"):
            for sb, rb in ((9600, 9600), (9600, 4800), (9600, 19200), (4800, 9600),
                           (19200, 9600), (9600, 2400), (38400, 9600), (2400, 9600)):
                cases.append((sc, sb, rc, rb))
    for sc, sb, rc, rb in cases:
        for gap in (0, 3):
            data = encode(program, sc)
            sbits, spar = SETTINGS[sc]
            rbits, rpar = SETTINGS[rc]
            steps, end = line(data, sbits, spar, sb, gap)
            got = receive(steps, end, rbits, rpar, rb)
            eia = rc == "EIA"
            frame = sum(1 for _, e in got if e in ("framing", "break"))
            par = sum(1 for _, e in got if e == "parity")
            cannot = sum(1 for v, e in got if not e and not possible(v, eia))
            odd_at = None
            odd = 0
            for i, (v, e) in enumerate(got):
                if e or not possible(v, eia):
                    odd += 1
                    if odd == 4:
                        odd_at = i + 1
                        break
            total_odd = sum(1 for v, e in got if e or not possible(v, eia))
            marks = sum(1 for v, e in got
                        if (EIA.get(v) if eia else v) in (0x25, 0x12))
            # Where the system does not say which bytes were hit (Windows),
            # only the bytes themselves tell.
            bytes_odd = sum(1 for v, _ in got if not possible(v, eia))
            name = "%s %d -> %s %d%s" % (sc, sb, rc, rb, " gap" if gap else "")
            print("%-28s %6d %6d %6d %6d %6.0f %8s %7.0f %d" % (
                name, len(got), frame, par, cannot, 100.0 * total_odd / max(len(got), 1),
                odd_at if odd_at else "-", 100.0 * bytes_odd / max(len(got), 1), marks))


if __name__ == "__main__":
    main()
