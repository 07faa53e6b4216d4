#!/usr/bin/env python3
"""Writes integer_vectors.txt: rows of (routine, operands, expected values)
for the integer and bignum routine tests, computed with python3's integers.
Run from this folder:
    python3 integer_vectors.py > integer_vectors.txt

Row format, one per line ('#' starts a comment):
    routine operand ... = result ...
Operands:
    -0x1f      an integer, passed in its normal form (fixnum when it fits)
    $12        the same for value 12 of the pool, given by a line "let 12 <integer>"
    B:-0x1f    a bignum of the fewest digits that hold the magnitude (at least one)
    B5:-0x1f   a bignum of five digits (leading zero digits above the magnitude)
    W:0x1f     a raw 32-bit machine word
Results:
    -0x1f      an integer in normal form (fixnum in range, else a bignum whose
               top digit is non-zero and whose sign byte is the value's sign)
    D<n>:<s>:0x1f  a bignum of exactly n digits and sign byte s whose digits,
               read as one unsigned number, are the given value
    W:0x1f     a raw word in eax
    T / NIL    t or nil
"""
import random

FIXNUM_MIN, FIXNUM_MAX = -(1 << 29), (1 << 29) - 1
rng = random.Random(20261210)


def fixnum_p(v):
    return FIXNUM_MIN <= v <= FIXNUM_MAX


def h(v):
    return "-0x%x" % -v if v < 0 else "0x%x" % v


POOL_NAMES = {}  # pool value -> "$index", filled by main


def ref(v):
    """An operand: the pool's name for v when it has one."""
    return POOL_NAMES.get(v, h(v))


def digits_needed(v):
    return max(1, (abs(v).bit_length() + 15) // 16)


def raw_bignum(count, sign, value):
    return "D%d:%d:%s" % (count, sign, h(value))


def pool():
    values = [0, 1, -1, 2, 8, 64]
    for v in [(1 << 29) - 1, 1 << 29, 1 << 31, 1 << 32, (1 << 32) + 1, (1 << 32) - 1]:
        values += [v, -v]
    for k in range(1, 9):
        for v in [(1 << (16 * k)) + 1, (1 << (16 * k)) - 1]:
            values += [v, -v]
    for bits in [45, 90, 300, 2000]:
        v = rng.getrandbits(bits) | (1 << (bits - 1))
        values += [v, -v]
    return sorted(set(values), key=lambda v: (abs(v), v))


def compare_magnitudes(a, b):
    """c_bignums: the digit counts first, then the magnitudes."""
    key_a, key_b = (digits_needed(a), abs(a)), (digits_needed(b), abs(b))
    return (key_a > key_b) - (key_a < key_b)


def trunc_div(a, b):
    q = abs(a) // abs(b)
    if (a < 0) != (b < 0):
        q = -q
    return q, a - q * b


HUGE_BITS = 250  # values this long meet only the partners in HUGE_PARTNERS
HUGE_PARTNERS = [0, 1, -1, 2, 64, (1 << 29) - 1, -(1 << 29), (1 << 32) + 1, -((1 << 32) - 1),
                 (1 << 128) + 1, -((1 << 128) - 1)]


def pairs(values):
    for a in values:
        for b in values:
            huge = [v for v in (a, b) if abs(v).bit_length() > HUGE_BITS]
            other = b if huge and huge[0] is a else a
            if huge and len(huge) < 2 and other not in HUGE_PARTNERS:
                continue
            yield a, b


def rows_pairs(out, values):
    for a, b in pairs(values):
        out.append("integer_add %s %s = %s" % (ref(a), ref(b), h(a + b)))
        out.append("integer_subtract %s %s = %s" % (ref(a), ref(b), h(a - b)))
        out.append("integer_multiply %s %s = %s" % (ref(a), ref(b), h(a * b)))
        for op, holds in enumerate([a == b, a < b, a <= b, False][:4 if a == b else 3]):
            out.append("integer_compare %s %s %s = %s" % (ref(a), ref(b), h(op),
                                                         "T" if holds else "NIL"))
        if b != 0:
            q, r = trunc_div(a, b)
            out.append("integer_divide %s %s = %s %s" % (ref(a), ref(b), h(q), h(r)))
            out.append("integer_truncate %s %s = %s" % (ref(a), ref(b), h(q)))
            out.append("integer_rem %s %s = %s" % (ref(a), ref(b), h(r)))
        out.append("logical_and %s %s = %s" % (ref(a), ref(b), h(a & b)))
        out.append("logical_or %s %s = %s" % (ref(a), ref(b), h(a | b)))
        out.append("logical_xor %s %s = %s" % (ref(a), ref(b), h(a ^ b)))


def rows_single(out, values):
    for x in values:
        out.append("logical_not %s = %s" % (ref(x), h(~x)))
        out.append("integer_length %s = %s" % (ref(x), h(x.bit_length() if x >= 0
                                                          else (-x - 1).bit_length())))
        for n in [0, 1, 15, 16, 17, 29, 30, 31, 32, 33, 64, 100]:
            out.append("shift_left %s %s = %s" % (ref(x), h(n), h(x << n)))
            out.append("shift_right %s %s = %s" % (ref(x), h(n), h(x >> n)))
        out.append("prunebig %s = %s" % (ref(x), h(x)))
        if not fixnum_p(x):
            out.append("copybig %s = %s" % (ref(x), raw_bignum(digits_needed(x), 0x80 if x < 0 else 0,
                                                            abs(x))))
            # Without the one-argument adjustment: the length of the magnitude.
            out.append("integer_length %s 0x0 = %s" % (ref(x), h(abs(x).bit_length())))


def rows_ldb(out):
    xs = [0, -1, 5, FIXNUM_MAX, FIXNUM_MIN, -(1 << 32), (1 << 70) + 12345, -rng.getrandbits(100)]
    for x in xs:
        for p in range(0, 71):
            for s in range(0, 71):
                out.append("ldb %s %s %s = %s" % (h(x), h(p), h(s), h((x >> p) & ((1 << s) - 1))))


def rows_big_extract(out, values):
    for x in values:
        if fixnum_p(x):
            continue
        mag = abs(x)
        count = digits_needed(x)
        for p in sorted(set([0, 1, 5, 15, 16, 17, 31, 16 * count - 1, 16 * count - 16])):
            for s in [1, 4, 15, 16]:
                digit = (mag >> (16 * (p // 16))) & 0xffff
                out.append("big_extract %s %s %s = %s" % (h(x), h(p), h(s),
                                                          h((digit >> (p % 16)) & ((1 << s) - 1))))


def rows_bignum_layer(out, values):
    bigs = [v for v in values if not fixnum_p(v) and abs(v).bit_length() <= 300]
    for a in bigs:
        sa = 0x80 if a < 0 else 0
        for b in bigs:
            out.append("c_bignums %s %s = W:%s" % (ref(a), ref(b), h(compare_magnitudes(a, b))))
            out.append("bignum_add %s %s = %s" % (ref(a), ref(b), h(a + b)))
            out.append("bignum_sub %s %s = %s" % (ref(a), ref(b), h(a - b)))
            out.append("bignum_multiply %s %s = %s" % (ref(a), ref(b), h(a * b)))
            q, r = trunc_div(a, b)
            out.append("bignum_truncate %s %s = %s" % (ref(a), ref(b), h(q)))
            out.append("bignum_divide %s %s = %s %s" % (ref(a), ref(b), h(q), h(r)))
            out.append("bignum_rem %s %s = %s" % (ref(a), ref(b), h(r)))
        # Two's complement in place, and the copies with one more digit.
        count = digits_needed(a)
        twoc = ((1 << (16 * count)) - abs(a)) & ((1 << (16 * count)) - 1)
        out.append("bigtwoc %s = %s" % (ref(a), raw_bignum(count, sa, twoc)))
        out.append("bigcopyp1 %s 0x7 = %s" % (ref(a), raw_bignum(count + 1, sa,
                                                                  abs(a) | (7 << (16 * count)))))
        for d in [1, 3, 10, 0x7fff, 0xffff]:
            qm, rm = abs(a) // d, abs(a) % d
            out.append("one_bigit_rem %s %s = %s" % (ref(a), h(d), h(-rm if a < 0 else rm)))
            for sd in [d, -d]:
                if sd >= -65534:
                    q, _ = trunc_div(a, sd)
                    out.append("one_bigit_truncate %s %s = %s" % (ref(a), h(sd), h(q)))
            out.append("one_bigit_divide %s B:%s = %s %s" % (ref(a), h(d), h(qm if a > 0 else -qm),
                                                             h(-rm if a < 0 else rm)))
            out.append("one_bigit_divide %s B:%s = %s %s" % (ref(a), h(-d), h(-qm if a > 0 else qm),
                                                              h(-rm if a < 0 else rm)))
            q, _ = trunc_div(a, d)
            out.append("one_bigit_div_in_place %s %s = %s %s" % (ref(a), h(d), h(q),
                                                                 h(-rm if a < 0 else rm)))
    # Sums and differences of magnitudes, not normalised: the count is the
    # longer operand's, plus one for a sum.
    for a in bigs:
        for b in bigs:
            sa = 0x80 if a < 0 else 0
            la, lb = digits_needed(a), digits_needed(b)
            total = abs(a) + abs(b)
            out.append("big_add_int %s %s = %s" % (ref(a), ref(b), raw_bignum(max(la, lb) + 1, sa, total)))
            if abs(a) == abs(b):
                out.append("big_sub_int %s %s = 0x0" % (ref(a), h(b)))
            elif abs(a) > abs(b):
                out.append("big_sub_int %s %s = %s" % (ref(a), ref(b), raw_bignum(la, sa, abs(a) - abs(b))))
            else:
                out.append("big_sub_int %s %s = %s" % (ref(a), ref(b),
                                                       raw_bignum(lb, sa ^ 0x80, abs(b) - abs(a))))
    # Only all-zero digits carry out of the top: bigtwoc1 then copies with a digit 1 on top.
    for count in [1, 2, 3]:
        out.append("bigtwoc1 B%d:0x0 = %s" % (count, raw_bignum(count + 1, 0, 1 << (16 * count))))
        out.append("bigtwoc1 B%d:-0x1 = %s" % (count, raw_bignum(count, 0x80, (1 << (16 * count)) - 1)))
    # Leading zero digits and the two-digit boundary of the fixnum range.
    for v in [0, 5, -5, 0x20000000, -0x20000000, 0x1fffffff, -0x20000001, 1 << 40, -(1 << 40)]:
        for extra in [0, 1, 3, 5]:
            out.append("prunebig B%d:%s = %s" % (digits_needed(v) + extra, h(v), h(v)))
    for v in [0, 1, -1, FIXNUM_MAX, FIXNUM_MIN, FIXNUM_MAX + 1, FIXNUM_MIN - 1, (1 << 31) - 1,
              -(1 << 31), 0x12345678, -0x12345678]:
        for routine in ["box_to_new_bignum", "mi_in_new_bignum", "fixnum_or_bignum"]:
            out.append("%s W:%s = %s" % (routine, h(v & 0xffffffff), h(v)))
    for u in [0, 1, FIXNUM_MAX, FIXNUM_MAX + 1, (1 << 31), 0xffffffff]:
        out.append("unsigned_fixnum_or_bignum W:%s = %s" % (h(u), h(u)))
    for a in [0, 1, -1, 3, -3, 0x7fff, FIXNUM_MAX, FIXNUM_MIN, 0x1234567, -0x1234567]:
        for b in [1, -1, 2, -2, 0x10000, FIXNUM_MAX, FIXNUM_MIN]:
            out.append("big_fix_prod %s %s = %s" % (h(a), h(b), h(a * b)))
    for v in [0, 5, -5, 0x12345678, -0x12345678, -(1 << 31)]:
        out.append("mi_in_bignum B:-0x123456789 W:%s = %s" % (h(v & 0xffffffff),
                                                             raw_bignum(3, 0x80 if v < 0 else 0,
                                                                        (1 << 32) + abs(v))))


# ---- long division rows chosen by a model of the digit steps ----

def model_long_division(a, b):
    """Counts q̂ corrections and add-backs of the long division of |a| by |b|."""
    def digits(v, n):
        return [(v >> (16 * i)) & 0xffff for i in range(n)]
    ca, cb = digits_needed(a), digits_needed(b)
    top = (abs(b) >> (16 * (cb - 1))) & 0xffff
    s = 16 - top.bit_length()
    r = digits(abs(a) << s, ca + 1)
    v = digits(abs(b) << s, cb + 1)
    n = cb + 1
    while n > 0 and v[n - 1] == 0:
        n -= 1
    d1, d2 = v[n - 1], v[n - 2]
    once = twice = added = 0
    for j in range(len(r) - n - 1, -1, -1):
        t0, t1, t2 = r[j + n], r[j + n - 1], r[j + n - 2]
        tt = t0 * 65536 + t1
        qhat = 0 if tt == 0 else (0xffff if t0 == d1 else tt // d1)
        corrections = 0
        if qhat and d2:
            for _ in range(2):
                rhat = tt - qhat * d1
                if rhat < 65536 and rhat * 65536 + t2 < d2 * qhat:
                    qhat -= 1
                    corrections += 1
                else:
                    break
        once += corrections == 1
        twice += corrections == 2
        window = sum(r[j + i] << (16 * i) for i in range(n + 1))
        vv = sum(v[i] << (16 * i) for i in range(n))
        window -= qhat * vv
        if window < 0:
            window += vv
            added += 1
        for i in range(n + 1):
            r[j + i] = (window >> (16 * i)) & 0xffff
    return once, twice, added


def rows_long_division(out):
    wanted = {"once": 3, "twice": 3, "added": 3}
    found = {k: [] for k in wanted}
    special = [0, 1, 0x7fff, 0x8000, 0x8001, 0xfffe, 0xffff]
    tries = 0
    while any(len(found[k]) < wanted[k] for k in wanted) and tries < 400000:
        tries += 1
        cb = rng.randint(2, 4)
        ca = cb + rng.randint(0, 3)
        pick = lambda: rng.choice(special) if rng.random() < 0.6 else rng.getrandbits(16)
        a = sum(pick() << (16 * i) for i in range(ca))
        b = sum(pick() << (16 * i) for i in range(cb))
        if (b >> (16 * (cb - 1))) == 0 or (a >> (16 * (ca - 1))) == 0 or abs(a) <= abs(b):
            continue
        if fixnum_p(a) or fixnum_p(b):
            continue
        once, twice, added = model_long_division(a, b)
        for key, hit in [("once", once), ("twice", twice), ("added", added)]:
            if hit and len(found[key]) < wanted[key]:
                found[key].append((a, b))
    for key in ["once", "twice", "added"]:
        out.append("# long division: q̂ %s" % {"once": "corrected once", "twice": "corrected twice",
                                               "added": "added back"}[key])
        for a, b in found[key]:
            for sa in [1, -1]:
                for sb in [1, -1]:
                    x, y = sa * a, sb * b
                    q, r = trunc_div(x, y)
                    out.append("integer_divide %s %s = %s %s" % (h(x), h(y), h(q), h(r)))
                    out.append("bignum_rem %s %s = %s" % (h(x), h(y), h(r)))


def main():
    values = pool()
    out = []
    out.append("# Generated by integer_vectors.py; see its header for the format.")
    for i, v in enumerate(values):
        POOL_NAMES[v] = "$%d" % i
        out.append("let %d %s" % (i, h(v)))
    rows_pairs(out, values)
    rows_single(out, values)
    rows_ldb(out)
    rows_big_extract(out, values)
    rows_bignum_layer(out, values)
    rows_long_division(out)
    print("\n".join(line for line in out if line))


if __name__ == "__main__":
    main()
