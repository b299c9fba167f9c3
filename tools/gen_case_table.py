#!/usr/bin/env python3
"""Builds the three-level 16-bit case table (src/unicode/case_table.inc).

The simple case mappings of the 16-bit units are written below as runs; the
script expands them to one 32-bit record per unit, deduplicates the records
and the 64-unit blocks, and prints the three levels as C++ arrays.

Record layout:
  bit 21      the unit has a lower-case mapping: lower = u + delta
  bit 20      the unit has an upper-case mapping: upper = u - delta
  bits 22-31  delta, signed 10-bit
  bits 0-19   unused (zero)

The output is fully determined by the data below: records are numbered in
order of first appearance scanning units upwards, blocks likewise.

Usage: tools/gen_case_table.py > src/unicode/case_table.inc
"""

import sys

# Lower-case runs: (first, last, step, delta). step 2 means every second unit
# of the run maps.
LOWER_RUNS = [
    (0x0041, 0x005A, 1, 32), (0x00C0, 0x00D6, 1, 32), (0x00D8, 0x00DE, 1, 32),
    (0x0100, 0x012E, 2, 1), (0x0130, 0x0130, 1, -199), (0x0132, 0x0136, 2, 1),
    (0x0139, 0x0147, 2, 1), (0x014A, 0x0176, 2, 1), (0x0178, 0x0178, 1, -121),
    (0x0179, 0x017D, 2, 1), (0x0181, 0x0181, 1, 210), (0x0182, 0x0184, 2, 1),
    (0x0186, 0x0186, 1, 206), (0x0187, 0x0187, 1, 1), (0x0189, 0x018A, 1, 205),
    (0x018B, 0x018B, 1, 1), (0x018E, 0x018F, 1, 202), (0x0190, 0x0190, 1, 203),
    (0x0191, 0x0191, 1, 1), (0x0193, 0x0193, 1, 205), (0x0194, 0x0194, 1, 207),
    (0x0196, 0x0196, 1, 211), (0x0197, 0x0197, 1, 209), (0x0198, 0x0198, 1, 1),
    (0x019C, 0x019C, 1, 211), (0x019D, 0x019D, 1, 213), (0x01A0, 0x01A4, 2, 1),
    (0x01A7, 0x01A7, 1, 1), (0x01A9, 0x01A9, 1, 218), (0x01AC, 0x01AC, 1, 1),
    (0x01AE, 0x01AE, 1, 218), (0x01AF, 0x01AF, 1, 1), (0x01B1, 0x01B2, 1, 217),
    (0x01B3, 0x01B5, 2, 1), (0x01B7, 0x01B7, 1, 219), (0x01B8, 0x01B8, 1, 1),
    (0x01BC, 0x01BC, 1, 1), (0x01C4, 0x01C4, 1, 2), (0x01C5, 0x01C5, 1, 1),
    (0x01C7, 0x01C7, 1, 2), (0x01C8, 0x01C8, 1, 1), (0x01CA, 0x01CA, 1, 2),
    (0x01CB, 0x01DB, 2, 1), (0x01DE, 0x01EE, 2, 1), (0x01F1, 0x01F1, 1, 2),
    (0x01F2, 0x01F4, 2, 1), (0x01FA, 0x0216, 2, 1), (0x0386, 0x0386, 1, 38),
    (0x0388, 0x038A, 1, 37), (0x038C, 0x038C, 1, 64), (0x038E, 0x038F, 1, 63),
    (0x0391, 0x03A1, 1, 32), (0x03A3, 0x03AB, 1, 32), (0x03E2, 0x03EE, 2, 1),
    (0x0401, 0x040C, 1, 80), (0x040E, 0x040F, 1, 80), (0x0410, 0x042F, 1, 32),
    (0x0460, 0x0480, 2, 1), (0x0490, 0x04BE, 2, 1), (0x04C1, 0x04C3, 2, 1),
    (0x04C7, 0x04C7, 1, 1), (0x04CB, 0x04CB, 1, 1), (0x04D0, 0x04EA, 2, 1),
    (0x04EE, 0x04F4, 2, 1), (0x04F8, 0x04F8, 1, 1), (0x0531, 0x0556, 1, 48),
    (0x10A0, 0x10C5, 1, 48), (0x1E00, 0x1E94, 2, 1), (0x1EA0, 0x1EF8, 2, 1),
    (0x1F08, 0x1F0F, 1, -8), (0x1F18, 0x1F1D, 1, -8), (0x1F28, 0x1F2F, 1, -8),
    (0x1F38, 0x1F3F, 1, -8), (0x1F48, 0x1F4D, 1, -8), (0x1F59, 0x1F5F, 2, -8),
    (0x1F68, 0x1F6F, 1, -8), (0x1F88, 0x1F8F, 1, -8), (0x1F98, 0x1F9F, 1, -8),
    (0x1FA8, 0x1FAF, 1, -8), (0x1FB8, 0x1FB9, 1, -8), (0x1FBA, 0x1FBB, 1, -74),
    (0x1FBC, 0x1FBC, 1, -9), (0x1FC8, 0x1FCB, 1, -86), (0x1FCC, 0x1FCC, 1, -9),
    (0x1FD8, 0x1FD9, 1, -8), (0x1FDA, 0x1FDB, 1, -100), (0x1FE8, 0x1FE9, 1, -8),
    (0x1FEA, 0x1FEB, 1, -112), (0x1FEC, 0x1FEC, 1, -7), (0x1FF8, 0x1FF9, 1, -128),
    (0x1FFA, 0x1FFB, 1, -126), (0x1FFC, 0x1FFC, 1, -9), (0x2160, 0x216F, 1, 16),
    (0x24B6, 0x24CF, 1, 26), (0xFF21, 0xFF3A, 1, 32),
]

# Lower-case mappings whose target does not map back up (first, last of the
# mapped-from units).
NO_INVERSE = [(0x0130, 0x0130), (0x01C5, 0x01C5), (0x01C8, 0x01C8),
              (0x01CB, 0x01CB), (0x01F2, 0x01F2), (0x10A0, 0x10C5)]

# Upper-case mappings that are not the inverse of a lower-case one: (from, to).
EXTRA_UPPER = [(0x0131, 0x0049), (0x017F, 0x0053), (0x01C5, 0x01C4),
               (0x01C8, 0x01C7), (0x01CB, 0x01CA), (0x01F2, 0x01F1),
               (0x03D0, 0x0392), (0x03D1, 0x0398), (0x03D5, 0x03A6),
               (0x03D6, 0x03A0), (0x03F0, 0x039A), (0x03F1, 0x03A1)]

LOWER_BIT = 1 << 21
UPPER_BIT = 1 << 20
BLOCK = 64


def build_mappings():
    lower, upper = {}, {}
    for first, last, step, delta in LOWER_RUNS:
        assert len([r for r in LOWER_RUNS if r[0] == first]) == 1
        for u in range(first, last + 1, step):
            assert u not in lower, hex(u)
            lower[u] = delta
    no_inverse = {u for a, b in NO_INVERSE for u in range(a, b + 1)}
    for u, delta in lower.items():
        if u in no_inverse:
            continue
        target = u + delta
        assert target not in upper, hex(target)
        upper[target] = delta
    for u, to in EXTRA_UPPER:
        assert u not in upper, hex(u)
        upper[u] = u - to
    return lower, upper


def records_per_unit(lower, upper):
    out = []
    for u in range(0x10000):
        bits, delta = 0, 0
        if u in lower:
            bits |= LOWER_BIT
            delta = lower[u]
        if u in upper:
            bits |= UPPER_BIT
            # One delta serves both directions; the data must agree.
            assert u not in lower or lower[u] == upper[u], hex(u)
            delta = upper[u]
        assert -512 <= delta <= 511
        out.append(bits | ((delta & 0x3FF) << 22))
    return out


def main():
    lower, upper = build_mappings()
    assert len(lower) - sum(b - a + 1 for a, b in NO_INVERSE) + len(EXTRA_UPPER) == len(upper)
    per_unit = records_per_unit(lower, upper)

    records, record_index = [], {}
    for r in per_unit:
        if r not in record_index:
            record_index[r] = len(records)
            records.append(r)
    assert len(records) <= 256

    blocks, block_index, stage1 = [], {}, []
    for start in range(0, 0x10000, BLOCK):
        block = tuple(record_index[r] for r in per_unit[start:start + BLOCK])
        if block not in block_index:
            block_index[block] = len(blocks)
            blocks.append(block)
        stage1.append(block_index[block] * BLOCK)
    assert len(stage1) == 1024 and max(stage1) < 0x10000

    # The longest stretch of units without any mapping: kernels pass whole
    # vectors that lie inside it through unchanged.
    free_first, free_end, run = 0, 0, None
    for u in range(0x10001):
        if u < 0x10000 and per_unit[u] & (LOWER_BIT | UPPER_BIT) == 0:
            run = u if run is None else run
        else:
            if run is not None and u - run > free_end - free_first:
                free_first, free_end = run, u
            run = None

    w = sys.stdout.write
    w("// Generated by tools/gen_case_table.py; do not edit.\n")
    w("// Three-level simple case table of the 16-bit units: %d records, %d blocks.\n"
      % (len(records), len(blocks)))
    w("// clang-format off\n\n")
    w("inline constexpr int kCaseRecordCount = %d;\n" % len(records))
    w("inline constexpr int kCaseBlockCount = %d;\n" % len(blocks))
    w("inline constexpr uint16_t kCaseFreeFirst = 0x%04X;  // no unit in\n" % free_first)
    w("inline constexpr uint16_t kCaseFreeLast = 0x%04X;   // [first, last] maps\n\n" % (free_end - 1))
    w("alignas(64) inline constexpr uint16_t kCaseStage1[1024] = {\n")
    for i in range(0, 1024, 16):
        w("    " + ", ".join("%d" % v for v in stage1[i:i + 16]) + ",\n")
    w("};\n\n")
    w("alignas(64) inline constexpr uint8_t kCaseStage2[%d] = {\n" % (len(blocks) * BLOCK))
    for b in blocks:
        for i in range(0, BLOCK, 32):
            w("    " + ",".join("%d" % v for v in b[i:i + 32]) + ",\n")
    w("};\n\n")
    w("alignas(64) inline constexpr uint32_t kCaseRecords[%d] = {\n" % len(records))
    for i in range(0, len(records), 8):
        w("    " + ", ".join("0x%08Xu" % v for v in records[i:i + 8]) + ",\n")
    w("};\n")


if __name__ == "__main__":
    main()
