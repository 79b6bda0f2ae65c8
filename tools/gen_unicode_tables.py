#!/usr/bin/env python3
"""Generate src/analysis/unicode_tables.cpp, the Unicode data of the analysis kernels.

Run it inside the amd64 chroot, with Debian's unicode-data package installed there
(it supplies PropList.txt for the Other_Grapheme_Extend property):

    tools/chroot.sh run amd64 bash -c \
        'apt-get install -y unicode-data && python3.14 tools/gen_unicode_tables.py'

Two tables come out, both derived from the interpreter's own Unicode database:

* the full uppercase mapping of every code point, exactly what str.upper() does
  to a string of that one code point (context-free; up to three code points);
* the code points that a failure message writes as an escape: combining marks
  (Grapheme_Extend, taken as general categories Mn and Me plus
  Other_Grapheme_Extend) and every code point for which str.isprintable() is
  false.

The script checks its own encoding of both tables against the interpreter for
every code point before it writes anything.
"""

import argparse
import bisect
import os
import sys
import unicodedata

MAX_CP = 0x10FFFF
SURROGATES = range(0xD800, 0xE000)
DEFAULT_PROPLIST = "/usr/share/unicode/PropList.txt"
HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_OUTPUT = os.path.join(HERE, "..", "src", "analysis", "unicode_tables.cpp")


def scalar_values():
    """Every code point that UTF-8 can encode (no surrogates)."""
    for cp in range(MAX_CP + 1):
        if cp not in SURROGATES:
            yield cp


# --- Uppercase mapping -------------------------------------------------------


def uppercase_tables():
    """Split the mapping into runs of one-to-one mappings and a list of the rest.

    A run covers code points first, first+stride, ..., last (stride 1 or 2) that
    all map to themselves plus the same delta. Runs are built over the sorted list
    of mapped code points, each run taking the next mapped code points in order,
    so runs never overlap and a binary search on `first` finds the only candidate.
    """
    singles = []  # (cp, target) for one-to-one mappings other than identity
    multis = []  # (cp, (targets...)) for one-to-many mappings
    for cp in scalar_values():
        if cp < 0x80:
            continue  # ASCII is handled inline by the kernel
        upper = chr(cp).upper()
        if upper == chr(cp):
            continue
        if len(upper) == 1:
            singles.append((cp, ord(upper)))
        else:
            if len(upper) > 3:
                sys.exit(f"U+{cp:04X} upper-cases to {len(upper)} code points; the table holds 3")
            multis.append((cp, tuple(ord(c) for c in upper)))

    runs = []  # [first, last, delta, stride]
    for cp, target in singles:
        delta = target - cp
        if runs:
            first, last, rdelta, stride = runs[-1]
            step = cp - last
            if rdelta == delta and step in (1, 2) and (first == last or step == stride):
                runs[-1] = [first, cp, delta, step]
                continue
        runs.append([cp, cp, delta, 1])
    return runs, multis


def upper_by_tables(cp, runs, run_firsts, multis_by_cp):
    if cp < 0x80:
        return chr(cp).upper()
    if cp in multis_by_cp:
        return "".join(chr(c) for c in multis_by_cp[cp])
    i = bisect.bisect_right(run_firsts, cp) - 1
    if i >= 0:
        first, last, delta, stride = runs[i]
        if cp <= last and (cp - first) % stride == 0:
            return chr(cp + delta)
    return chr(cp)


# --- Escaped code points -----------------------------------------------------


def other_grapheme_extend(proplist):
    """Code points with Other_Grapheme_Extend, as the interpreter's database knows them.

    PropList.txt may come from a newer Unicode release than the interpreter's; a
    code point that the interpreter does not know (category Cn) is escaped as
    non-printable anyway, so taking the newer list adds nothing wrong.
    """
    result = set()
    version = None
    with open(proplist, encoding="utf-8") as f:
        for line in f:
            if version is None and line.startswith("# PropList-"):
                version = line[len("# PropList-"):].strip().removesuffix(".txt")
            data = line.split("#", 1)[0].strip()
            if not data:
                continue
            span, prop = (part.strip() for part in data.split(";"))
            if prop != "Other_Grapheme_Extend":
                continue
            lo, _, hi = span.partition("..")
            result.update(range(int(lo, 16), int(hi or lo, 16) + 1))
    if not result:
        sys.exit(f"{proplist} lists no Other_Grapheme_Extend code point")
    return result, version or "unknown"


def must_escape(cp, oge):
    ch = chr(cp)
    return unicodedata.category(ch) in ("Mn", "Me") or cp in oge or not ch.isprintable()


def escape_toggles(oge):
    """Sorted code points at which escaping switches on or off, starting with off at 0."""
    toggles = []
    state = False
    for cp in range(MAX_CP + 1):
        # Surrogates never reach the lookup (they are not scalar values); give them
        # the state of their neighbours so they add no toggles.
        value = state if cp in SURROGATES else must_escape(cp, oge)
        if value != state:
            toggles.append(cp)
            state = value
    return toggles


def escaped_by_toggles(cp, toggles):
    return bisect.bisect_right(toggles, cp) % 2 == 1


# --- Output ------------------------------------------------------------------


def rows(items, per_line, indent="    "):
    for i in range(0, len(items), per_line):
        yield indent + " ".join(items[i:i + per_line])


def render(runs, multis, toggles, proplist_version):
    py = sys.version.split()[0]
    out = []
    w = out.append
    w("// GENERATED by tools/gen_unicode_tables.py. Do not edit by hand: change the")
    w("// generator and run it again.")
    w(f"// Unicode {unicodedata.unidata_version} (the database of Python {py}); "
      f"Other_Grapheme_Extend from PropList {proplist_version}.")
    w("")
    w('#include "analysis/unicode_tables.hpp"')
    w("")
    w("#include <algorithm>")
    w("#include <cstdint>")
    w("#include <iterator>")
    w("")
    w("namespace marlinox::analysis::unicode {")
    w("namespace {")
    w("")
    w("// One-to-one uppercase mappings: code points first, first + stride, ..., last")
    w("// map to themselves plus delta. Sorted by first; runs never overlap.")
    w("struct CaseRun {")
    w("    std::uint32_t first;")
    w("    std::uint32_t last;")
    w("    std::int32_t delta;")
    w("    std::uint32_t stride;")
    w("};")
    w("")
    w(f"constexpr CaseRun kCaseRuns[{len(runs)}] = {{")
    items = [f"{{0x{a:x}, 0x{b:x}, {d}, {s}}}," for a, b, d, s in runs]
    out.extend(rows(items, 4))
    w("};")
    w("")
    w("// One-to-many uppercase mappings, sorted by code point; unused slots are 0.")
    w("struct CaseExpansion {")
    w("    std::uint32_t cp;")
    w("    char32_t upper[3];")
    w("};")
    w("")
    w(f"constexpr CaseExpansion kCaseExpansions[{len(multis)}] = {{")
    items = []
    for cp, targets in multis:
        padded = list(targets) + [0] * (3 - len(targets))
        items.append(f"{{0x{cp:x}, {{0x{padded[0]:x}, 0x{padded[1]:x}, 0x{padded[2]:x}}}}},")
    out.extend(rows(items, 3))
    w("};")
    w("")
    w("// Code points at which escaping switches on or off, in increasing order and")
    w("// starting with off at U+0000: a code point is escaped when an odd number of")
    w("// entries is at or below it.")
    w(f"constexpr std::uint32_t kEscapeToggles[{len(toggles)}] = {{")
    out.extend(rows([f"0x{t:x}," for t in toggles], 10))
    w("};")
    w("")
    w("}  // namespace")
    w("")
    w(f'const char kUnicodeVersion[] = "{unicodedata.unidata_version}";')
    w("")
    w("std::size_t to_upper_full(char32_t cp, char32_t out[kMaxUpperLength]) noexcept {")
    w("    if (cp < 0x80) {")
    w("        out[0] = (cp >= U'a' && cp <= U'z') ? cp - 0x20 : cp;")
    w("        return 1;")
    w("    }")
    w("    const auto* expansion = std::lower_bound(")
    w("        std::begin(kCaseExpansions), std::end(kCaseExpansions), cp,")
    w("        [](const CaseExpansion& e, char32_t key) { return e.cp < key; });")
    w("    if (expansion != std::end(kCaseExpansions) && expansion->cp == cp) {")
    w("        std::size_t n = 0;")
    w("        while (n < kMaxUpperLength && expansion->upper[n] != 0) {")
    w("            out[n] = expansion->upper[n];")
    w("            ++n;")
    w("        }")
    w("        return n;")
    w("    }")
    w("    const auto* run = std::upper_bound(")
    w("        std::begin(kCaseRuns), std::end(kCaseRuns), cp,")
    w("        [](char32_t key, const CaseRun& r) { return key < r.first; });")
    w("    if (run != std::begin(kCaseRuns)) {")
    w("        --run;")
    w("        if (cp <= run->last && (cp - run->first) % run->stride == 0) {")
    w("            out[0] = static_cast<char32_t>(static_cast<std::int64_t>(cp) + run->delta);")
    w("            return 1;")
    w("        }")
    w("    }")
    w("    out[0] = cp;")
    w("    return 1;")
    w("}")
    w("")
    w("bool is_escaped_in_messages(char32_t cp) noexcept {")
    w("    const auto* past = std::upper_bound(std::begin(kEscapeToggles), std::end(kEscapeToggles),")
    w("                                        static_cast<std::uint32_t>(cp));")
    w("    return (past - std::begin(kEscapeToggles)) % 2 == 1;")
    w("}")
    w("")
    w("}  // namespace marlinox::analysis::unicode")
    return "\n".join(out) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--proplist", default=DEFAULT_PROPLIST,
                        help="PropList.txt of the Unicode Character Database")
    parser.add_argument("--output", default=DEFAULT_OUTPUT)
    args = parser.parse_args()
    if not os.path.exists(args.proplist):
        sys.exit(f"{args.proplist} is missing: install Debian's unicode-data package "
                 "(apt-get install unicode-data) or pass --proplist")

    runs, multis = uppercase_tables()
    oge, proplist_version = other_grapheme_extend(args.proplist)
    toggles = escape_toggles(oge)

    run_firsts = [r[0] for r in runs]
    multis_by_cp = dict(multis)
    for cp in scalar_values():
        expected = chr(cp).upper()
        got = upper_by_tables(cp, runs, run_firsts, multis_by_cp)
        if got != expected:
            sys.exit(f"uppercase table is wrong for U+{cp:04X}: {got!r} != {expected!r}")
        if escaped_by_toggles(cp, toggles) != must_escape(cp, oge):
            sys.exit(f"escape table is wrong for U+{cp:04X}")

    text = render(runs, multis, toggles, proplist_version)
    with open(args.output, "w", encoding="utf-8") as f:
        f.write(text)
    print(f"{os.path.relpath(args.output)}: Unicode {unicodedata.unidata_version}, "
          f"{len(runs)} case runs, {len(multis)} expansions, {len(toggles)} escape toggles, "
          f"{len(text)} bytes")


if __name__ == "__main__":
    main()
